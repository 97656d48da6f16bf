// The error record that every fallible kwcore operation fills, and the
// process-wide manager that receives reports from operations without a record
// argument. Both live in libkwErrorHandle.
//
// The layout of CkwErrorInfo is fixed: component modules built elsewhere
// read and write these fields directly. On 64-bit Linux it is a vtable
// pointer, then the six fields below (two pointer-sized, four 32-bit).
#pragma once

#include <cstddef>
#include <cstdint>

#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

struct KWERRORHANDLE_API CkwErrorInfo {
  /// All fields zero: no category, code 0, severity 0, no source.
  CkwErrorInfo();
  virtual ~CkwErrorInfo();

  /// Error category; kwcore always names kwGUID_ErrorCategoryGeneral.
  const GUID* m_pCategory;
  /// Code within the category.
  std::int32_t m_nErrorCode;
  /// 0 no error, 1 warning (request not met, nothing broken), 2 error.
  /// The only field that says whether the last call failed: the others keep
  /// stale values when a record is reused.
  std::int32_t m_nSeverity;
  /// Source GUID of the reporting class.
  const GUID* m_pSource;
  /// Number of the reporting method within its class.
  std::int32_t m_nMethod;
  /// Source line of the failing check; for diagnosis only.
  std::int32_t m_nLine;
};

// The offsets are what other builds rely on; GCC and Clang lay out this
// polymorphic struct predictably, so checking them with offsetof is sound.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(void*) != 8 || sizeof(CkwErrorInfo) == 40);
static_assert(sizeof(void*) != 8 || offsetof(CkwErrorInfo, m_pCategory) == 8);
static_assert(sizeof(void*) != 8 || offsetof(CkwErrorInfo, m_nErrorCode) == 16);
static_assert(sizeof(void*) != 8 || offsetof(CkwErrorInfo, m_nSeverity) == 20);
static_assert(sizeof(void*) != 8 || offsetof(CkwErrorInfo, m_pSource) == 24);
static_assert(sizeof(void*) != 8 || offsetof(CkwErrorInfo, m_nMethod) == 32);
static_assert(sizeof(void*) != 8 || offsetof(CkwErrorInfo, m_nLine) == 36);
#pragma GCC diagnostic pop

/// Receives the reports of operations that have no record argument (for
/// example an assignment operator) and keeps the most recent ones for the
/// host to read.
///
/// Thread safety: every member may be called from any thread at any time.
/// Records are copied in and out; the manager never keeps a caller's pointer.
class KWERRORHANDLE_API CkwGlobalErrorManager {
 public:
  /// How many records the manager keeps at most; older ones are dropped
  /// first, so a long-running host never grows without bound.
  static constexpr std::size_t kCapacity = 256;

  /// The process-wide manager, or null while the manager is switched off.
  static CkwGlobalErrorManager* kwGetGlobalErrorManager();

  /// Switches the manager on (the initial state) or off. While it is off,
  /// kwGetGlobalErrorManager returns null, so reporters skip their report.
  /// Records already kept stay readable.
  static void kwEnableGlobalErrorManager(bool enable);

  /// Keeps a copy of `*pErrorInfo`; a null pointer is ignored.
  void kwSetErrorInfo(const CkwErrorInfo* pErrorInfo);

  /// Number of records kept now (at most kCapacity).
  std::size_t kwGetErrorCount() const;

  /// Number of records received since the last clear, dropped ones included.
  std::uint64_t kwGetTotalErrorCount() const;

  /// Copies the kept record at `index` (0 is the oldest kept) into `*pOut`.
  /// Returns false, leaving `*pOut` untouched, for a bad index or null `pOut`.
  bool kwGetErrorInfo(std::size_t index, CkwErrorInfo* pOut) const;

  /// Copies the most recent record into `*pOut`; false when none is kept.
  bool kwGetLastErrorInfo(CkwErrorInfo* pOut) const;

  /// Forgets every kept record and resets the total count.
  void kwClearErrorInfo();

  CkwGlobalErrorManager(const CkwGlobalErrorManager&) = delete;
  CkwGlobalErrorManager& operator=(const CkwGlobalErrorManager&) = delete;

 private:
  CkwGlobalErrorManager();
  ~CkwGlobalErrorManager();

 public:
  struct State;  // opaque; defined in the library

 private:
  State* m_pState;
};
