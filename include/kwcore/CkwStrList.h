// CkwStrList: an append-only, ordered list of 8-bit, NUL-terminated texts
// that keeps its own copy of each text added.
//
// Reading by position takes constant time. Every text stays at the same
// address from the moment it is added until the list is destroyed, so the
// pointers kwGetString hands out remain valid and unchanged for the list's
// whole life, however much the list grows afterwards.
//
// Errors: every method stamps the source GUID
// {ACD6D56A-9C56-4156-B76A-0ADF452A9B09} into the record, and a failure its
// method number (below). Failures are severity 2 in the general category and
// leave the list unchanged.
//
// Thread safety: none; one thread at a time, as the owner arranges.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwExport.h>

class CkwUpdateLinkInfo;

class KWCORE_API CkwStrList {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_ADD_STRING = 0,
    kwMETHOD_GET_COUNT = 1,
    kwMETHOD_GET_STRING = 2,
  };

  /// An empty list.
  CkwStrList() noexcept = default;
  /// Frees every stored text, first to last.
  virtual ~CkwStrList();

  CkwStrList(const CkwStrList&) = delete;
  CkwStrList& operator=(const CkwStrList&) = delete;

  /// Appends a copy of `pszText` (up to its NUL) as the last text; the
  /// caller's buffer is not kept. Empty and repeated texts are stored like any
  /// other. Null text: code 2. No memory for the copy: code 1.
  bool kwAddString(const char* pszText, CkwErrorInfo* pErrorInfo);

  /// Stores the number of texts in `*pnCount`. Null `pnCount`: code 2.
  bool kwGetCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const;

  /// Stores in `*ppszText` the list's own copy at `nPosition` (0 is the first
  /// text added). The caller must neither change nor free it; it stays valid
  /// until the list is destroyed. The out pointer is tested first: null
  /// `ppszText` is code 2 whatever the position; then a position outside
  /// [0, count) is code 10.
  bool kwGetString(std::int32_t nPosition, const char** ppszText, CkwErrorInfo* pErrorInfo) const;

 private:
  // An update-link record appends to two lists as one step, and takes back
  // the first text when the second cannot be stored.
  friend class CkwUpdateLinkInfo;
  /// Frees the last text; only for a text that no caller has seen.
  void DropLast() noexcept;

  char** m_ppszTexts = nullptr;  ///< one heap block per text, never moved
  std::int32_t m_nCount = 0;
  std::int32_t m_nCapacity = 0;
};
