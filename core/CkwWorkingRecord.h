// The error convention in one mechanism. Every fallible operation opens with
//
//     CkwWorkingRecord record(pErrorInfo, kSource);
//
// and reports a failure of its own with
//
//     return kwFAIL(record, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, kMethod);
//
// The working record is the caller's, or a local one when the caller passed
// null. Entry stamps only the source and a zero severity, so a reused record
// keeps its other stale fields. Callees get `record.get()`, which shares the
// caller's record and makes the local one only when something needs it.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwErrorCodes.h>

#include "kwImports.h"

class CkwWorkingRecord {
 public:
  CkwWorkingRecord(CkwErrorInfo* pCaller, const GUID& source) noexcept
      : m_pSource(&source), m_pRecord(pCaller) {
    if (m_pRecord != nullptr) Stamp();
  }
  /// For operations without a record argument, which report failures to the
  /// global error manager: the local record exists from the start.
  explicit CkwWorkingRecord(const GUID& source) noexcept : CkwWorkingRecord(nullptr, source) {
    get();
  }
  ~CkwWorkingRecord() {
    if (m_pRecord == Local()) kwImport::DestroyErrorInfo(m_pRecord);
  }
  CkwWorkingRecord(const CkwWorkingRecord&) = delete;
  CkwWorkingRecord& operator=(const CkwWorkingRecord&) = delete;

  /// The record to hand to callees; never null.
  CkwErrorInfo* get() noexcept {
    if (m_pRecord == nullptr) {
      m_pRecord = kwImport::ConstructErrorInfo(m_storage);
      Stamp();
    }
    return m_pRecord;
  }

  /// Severity left by the last callee or failure (0 when nothing failed).
  std::int32_t Severity() const noexcept { return m_pRecord ? m_pRecord->m_nSeverity : 0; }

  /// Records a failure of this operation and returns false, for warnings too.
  /// With a null caller record and no callee yet, nothing is written: the
  /// local record would die unread.
  bool Fail(std::int32_t code, std::int32_t severity, std::int32_t method,
            std::int32_t line) noexcept {
    if (m_pRecord == nullptr) return false;
    m_pRecord->m_pSource = m_pSource;
    m_pRecord->m_nMethod = method;
    m_pRecord->m_pCategory = &kwGUID_ErrorCategoryGeneral;
    m_pRecord->m_nErrorCode = code;
    m_pRecord->m_nSeverity = severity;
    m_pRecord->m_nLine = line;
    return false;
  }

  /// For operations without a record argument: hands a failed record to the
  /// global error manager, if one is switched on. Nothing when none failed.
  void ReportToGlobalManager() noexcept {
    if (Severity() == kwSEVERITY_NONE) return;
    if (CkwGlobalErrorManager* manager = kwImport::GetGlobalErrorManager())
      kwImport::SetErrorInfo(manager, m_pRecord);
  }

 private:
  void Stamp() noexcept {
    m_pRecord->m_pSource = m_pSource;
    m_pRecord->m_nSeverity = kwSEVERITY_NONE;
  }
  CkwErrorInfo* Local() noexcept { return reinterpret_cast<CkwErrorInfo*>(m_storage); }

  const GUID* m_pSource;
  CkwErrorInfo* m_pRecord;
  // Storage for the local record; constructed through the import seam so
  // that libkwcore never needs kwErrorHandle's constructor at link time.
  alignas(CkwErrorInfo) unsigned char m_storage[sizeof(CkwErrorInfo)];
};

#define kwFAIL(record, code, severity, method) \
  ((record).Fail((code), (severity), (method), __LINE__))
