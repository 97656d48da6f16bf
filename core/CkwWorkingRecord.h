// The error convention in one mechanism. Every fallible operation opens with
//
//     CkwWorkingRecord record(pErrorInfo, kSource, CkwStrList::kwMETHOD_ADD_STRING);
//
// and reports a failure of its own in one line:
//
//     return kwFAIL(record, kwERROR_NULL_POINTER);          // severity from the code
//     return kwWARN(record, kwERROR_NOT_FOUND);             // request not met
//
// Operations without a record argument (constructors, assignment) declare a
// `CkwReportingRecord` instead: it hands a failed record to the global error
// manager when it goes out of scope, so no path forgets to.
//
// Code that may throw std::bad_alloc (standard containers, strings) runs
// inside `record.Guard([&] { ...; return true; })`, which turns the exception
// into code 1 of the operation; nothing else catches it.
//
// The local record is made and destroyed through the import seam, whose
// first call binds kwErrorHandle and may throw CkwBindingException: that is
// why get(), Guard() and the destructors let exceptions through.
//
// The working record is the caller's, or a local one when the caller passed
// null. Entry stamps only the source and a zero severity, so a reused record
// keeps its other stale fields. Callees get `record.get()`, which shares the
// caller's record and makes the local one only when something needs it.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwErrorCodes.h>

#include "kwImports.h"

/// The severity a failure with `code` has, unless reported with kwWARN.
/// Only "component not available" is a warning by nature: the host may go on
/// without the class. Every other code means the operation broke off.
constexpr std::int32_t kwSeverityOf(std::int32_t code) noexcept {
  return code == kwERROR_COMPONENT_NOT_AVAILABLE ? kwSEVERITY_WARNING : kwSEVERITY_ERROR;
}

/// The method number of an operation that reports no failure of its own;
/// its record is only stamped on entry and handed to callees.
inline constexpr std::int32_t kwMETHOD_NONE = -1;

class CkwWorkingRecord {
 public:
  CkwWorkingRecord(CkwErrorInfo* pCaller, const GUID& source, std::int32_t method) noexcept
      : m_pSource(&source), m_nMethod(method), m_pRecord(pCaller) {
    if (m_pRecord != nullptr) Stamp();
  }
  ~CkwWorkingRecord() noexcept(false) {
    if (m_pRecord == Local()) kwImport::DestroyErrorInfo(m_pRecord);
  }
  CkwWorkingRecord(const CkwWorkingRecord&) = delete;
  CkwWorkingRecord& operator=(const CkwWorkingRecord&) = delete;

  /// The record to hand to callees; never null.
  CkwErrorInfo* get() {
    if (m_pRecord == nullptr) {
      m_pRecord = kwImport::ConstructErrorInfo(m_storage);
      Stamp();
    }
    return m_pRecord;
  }

  /// Severity left by the last callee or failure (0 when nothing failed).
  std::int32_t Severity() const noexcept { return m_pRecord ? m_pRecord->m_nSeverity : 0; }
  bool Failed() const noexcept { return Severity() != kwSEVERITY_NONE; }

  /// Records a failure of this operation and returns false, for warnings too.
  /// With a null caller record and no callee yet, nothing is written: the
  /// local record would die unread. Use kwFAIL / kwWARN, which add the line.
  bool Fail(std::int32_t code, std::int32_t severity, std::int32_t line) noexcept {
    if (m_pRecord == nullptr) return false;
    m_pRecord->m_pSource = m_pSource;
    m_pRecord->m_nMethod = m_nMethod;
    m_pRecord->m_pCategory = &kwGUID_ErrorCategoryGeneral;
    m_pRecord->m_nErrorCode = code;
    m_pRecord->m_nSeverity = severity;
    m_pRecord->m_nLine = line;
    return false;
  }

  /// Runs `body` (which returns bool); an allocation failure inside it
  /// becomes code 1 of this operation, reported at the caller's line.
  template <class Body>
  bool Guard(Body&& body, std::int32_t line = __builtin_LINE()) {
    try {
      return std::forward<Body>(body)();
    } catch (const std::bad_alloc&) {
      return Fail(kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, line);
    }
  }

 protected:
  /// For records that report to the global manager: the local record exists
  /// from the start, so a failure is never dropped for want of a reader.
  void MakeLocal() { get(); }

 private:
  void Stamp() noexcept {
    m_pRecord->m_pSource = m_pSource;
    m_pRecord->m_nSeverity = kwSEVERITY_NONE;
  }
  CkwErrorInfo* Local() noexcept { return reinterpret_cast<CkwErrorInfo*>(m_storage); }

  const GUID* m_pSource;
  std::int32_t m_nMethod;
  CkwErrorInfo* m_pRecord;
  // Storage for the local record; constructed through the import seam so
  // that libkwcore never needs kwErrorHandle's constructor at link time.
  alignas(CkwErrorInfo) unsigned char m_storage[sizeof(CkwErrorInfo)];
};

/// The working record of an operation that has no record argument: on
/// leaving scope, a failed record goes to the global error manager, if one
/// is switched on.
class CkwReportingRecord : public CkwWorkingRecord {
 public:
  CkwReportingRecord(const GUID& source, std::int32_t method)
      : CkwWorkingRecord(nullptr, source, method) {
    MakeLocal();
  }
  ~CkwReportingRecord() noexcept(false) {
    if (!Failed()) return;
    if (CkwGlobalErrorManager* manager = kwImport::GetGlobalErrorManager())
      kwImport::SetErrorInfo(manager, get());
  }
};

#define kwFAIL(record, code) ((record).Fail((code), kwSeverityOf(code), __LINE__))
#define kwWARN(record, code) ((record).Fail((code), kwSEVERITY_WARNING, __LINE__))
/// For the rare code whose severity differs from the table's in one place.
#define kwFAIL_AS(record, code, severity) ((record).Fail((code), (severity), __LINE__))
