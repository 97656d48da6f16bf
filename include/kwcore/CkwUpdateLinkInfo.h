// Update-link records: per DVD item, the file links that the authoring
// application will update.
//
// CkwUpdateLinkInfo is one record: a DVD item ID and an ordered list of file
// pairs, each two names kept in the order the caller gave them (what each
// name stands for is the application's business). CkwUpdateLinkFileList owns
// its records and finds one by DVD item ID; it offers nothing else. Neither
// is a service object: create them with `new`, destroy them with `delete`.
// Neither can be copied in any way.
//
// Errors (general category, severity 2 unless noted), with the method
// numbers that each class declares:
//   CkwUpdateLinkInfo      source {26E764E8-835B-4AB2-B119-CE8B3B1E17C3}
//   CkwUpdateLinkFileList  source {1205DD9A-A974-4E18-9EA3-E725FA8129B0}
// The names are stored in CkwStrList objects that share the caller's record:
// a failure there is reported by the string list, and after a successful
// call that reached one, the record's source names the string list.
//
// Thread safety: none; each object is used by one thread at a time.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwStrList.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

class KWCORE_API CkwUpdateLinkInfo {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_ADD_FILE_PAIR = 0,
    kwMETHOD_GET_DVD_ITEM_ID = 1,
    kwMETHOD_SET_DVD_ITEM_ID = 2,
    kwMETHOD_GET_FILE_PAIR_BY_ITEM_INDEX = 3,
    kwMETHOD_GET_ITEM_COUNT = 4,
  };

  /// An all-zero DVD item ID and no pairs.
  CkwUpdateLinkInfo() noexcept;
  /// Frees the copies of all names, second names first.
  virtual ~CkwUpdateLinkInfo();

  CkwUpdateLinkInfo(const CkwUpdateLinkInfo&) = delete;
  CkwUpdateLinkInfo& operator=(const CkwUpdateLinkInfo&) = delete;

  /// Appends copies of both names as the last pair. Both are tested before
  /// anything is stored: null first name, then null second name, code 2, and
  /// nothing is added. Empty, equal and duplicate names are accepted.
  bool kwAddFilePair(const char* pszFirst, const char* pszSecond, CkwErrorInfo* pErrorInfo);

  /// Copies the 16-byte DVD item ID into `*pID`. Null `pID`: code 2.
  bool kwGetDVDItemID(GUID* pID, CkwErrorInfo* pErrorInfo) const;
  /// Copies `*pID` into the record. Null `pID`: code 2.
  bool kwSetDVDItemID(const GUID* pID, CkwErrorInfo* pErrorInfo);

  /// Returns pair `nIndex` as pointers to the record's own copies (valid while
  /// the record lives; never change or free them). Tested in this order:
  /// `nIndex` outside [0, pair count) is code 10, even with null out
  /// pointers; then null `ppszFirst`, then null `ppszSecond`, code 2.
  bool kwGetFilePairByItemIndex(std::int32_t nIndex, const char** ppszFirst,
                                const char** ppszSecond, CkwErrorInfo* pErrorInfo) const;

  /// Stores the number of pairs in `*pnCount`. Null `pnCount`: code 2.
  bool kwGetItemCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const;

 private:
  GUID m_guidDVDItemID;
  CkwStrList m_oFirstNames;
  CkwStrList m_oSecondNames;  // declared last: destroyed first
};

class KWCORE_API CkwUpdateLinkFileList {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_ADD_UPDATE_LINK_INFO = 0,
    kwMETHOD_FIND_UPDATE_LINK_INFO_BY_DVD_ITEM_ID = 1,
  };

  /// An empty list.
  CkwUpdateLinkFileList() noexcept = default;
  /// Destroys every record in the list, first to last.
  virtual ~CkwUpdateLinkFileList();

  CkwUpdateLinkFileList(const CkwUpdateLinkFileList&) = delete;
  CkwUpdateLinkFileList& operator=(const CkwUpdateLinkFileList&) = delete;

  /// Appends `pRecord`; the list owns it from then on. Add a record to one
  /// list only, and only once. Null `pRecord`: code 2. No memory to grow:
  /// code 1, and the record stays the caller's.
  bool kwAddUpdateLinkInfo(CkwUpdateLinkInfo* pRecord, CkwErrorInfo* pErrorInfo);

  /// Stores in `*ppRecord` the first record (in the order added) whose DVD
  /// item ID equals `*pID`; it stays the list's. Null `pID`, then null
  /// `ppRecord`: code 2. No match (an empty list included): `*ppRecord` null,
  /// code 12 at severity 1.
  bool kwFindUpdateLinkInfoByDVDItemID(const GUID* pID, CkwUpdateLinkInfo** ppRecord,
                                       CkwErrorInfo* pErrorInfo);

 private:
  CkwUpdateLinkInfo** m_ppRecords = nullptr;
  std::int32_t m_nCount = 0;
  std::int32_t m_nCapacity = 0;
};
