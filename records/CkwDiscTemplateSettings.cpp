#include <kwcore/CkwDiscTemplateSettings.h>

#include <algorithm>
#include <cstring>
#include <new>

#include <kwcore/kwLazyBinding.h>

#include "core/CkwWorkingRecord.h"

namespace {

// {DCC94BD0-9928-4F3F-9848-6EE9EF617596}
const GUID kSource = {0xDCC94BD0, 0x9928, 0x4F3F, {0x98, 0x48, 0x6E, 0xE9, 0xEF, 0x61, 0x75, 0x96}};

constexpr std::size_t kSaveDataSize = sizeof(SAVEDATA);
static_assert(kSaveDataSize == 444);

/// True when bytes [from, 444) of the record are all zero.
bool IsZeroFrom(const SAVEDATA& record, std::size_t from) noexcept {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&record);
  return std::all_of(bytes + from, bytes + kSaveDataSize, [](BYTE b) { return b == 0; });
}

/// A zero-filled record, or null when no memory is obtained.
SAVEDATA* NewZeroRecord() noexcept {
  SAVEDATA* block = new (std::nothrow) SAVEDATA;
  if (block != nullptr) std::memset(block, 0, kSaveDataSize);
  return block;
}

/// Clears the record through Nubra (result ignored), then frees it.
void Release(SAVEDATA*& block) {
  if (block == nullptr) return;
  kwImport::ClearSaveData(block);
  delete block;
  block = nullptr;
}

/// Gives `block` (which holds nothing) its own copy of `source`, as copy
/// construction and assignment make it. The first four bytes do not count
/// when deciding whether the source is empty: an empty source leaves an
/// all-zero record, first four bytes included, and Nubra is not asked.
bool CopyRecord(const SAVEDATA& source, SAVEDATA*& block, CkwWorkingRecord& record) {
  block = NewZeroRecord();
  if (block == nullptr) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  if (IsZeroFrom(source, 4)) return true;
  if (kwImport::CopySaveData(&source, block) != 0) return true;
  Release(block);
  return kwFAIL(record, kwERROR_COPY_SAVEDATA_FAILED);
}

}  // namespace

// Delegates, so that the object counts as constructed: when binding Nubra
// fails below, the destructor frees the block already allocated.
CkwDiscTemplateSettings::CkwDiscTemplateSettings(const CkwDiscTemplateSettings& source)
    : CkwDiscTemplateSettings() {
  m_eDiscFormat = source.m_eDiscFormat;
  m_bVCDCompliantMode = source.m_bVCDCompliantMode;
  if (source.m_pSaveData == nullptr) return;
  CkwReportingRecord record(kSource, CkwDiscTemplateSettings::kwMETHOD_ASSIGN);
  CopyRecord(*source.m_pSaveData, m_pSaveData, record);
}

CkwDiscTemplateSettings& CkwDiscTemplateSettings::operator=(CkwDiscTemplateSettings& source) {
  // Releasing this object's record first would destroy the source's.
  if (&source == this) return *this;
  CkwReportingRecord record(kSource, CkwDiscTemplateSettings::kwMETHOD_ASSIGN);

  SAVEDATA* sourceRecord = nullptr;
  if (!source.kwGetVIOSaveData(&sourceRecord, record.get())) {
    Release(m_pSaveData);
    return *this;
  }
  if (m_pSaveData != nullptr) {
    if (kwImport::ClearSaveData(m_pSaveData) == 0) {
      // Nothing changes; the host learns why through the manager.
      kwFAIL(record, kwERROR_CLEAR_SAVEDATA_FAILED);
      return *this;
    }
    delete m_pSaveData;
    m_pSaveData = nullptr;
  }
  if (sourceRecord != nullptr && !CopyRecord(*sourceRecord, m_pSaveData, record)) {
    return *this;
  }
  CkwDiscFormat::kwDiscFormat format = m_eDiscFormat;
  if (!source.kwGetDiscFormat(&format, record.get())) {
    Release(m_pSaveData);
    return *this;
  }
  m_eDiscFormat = format;
  source.kwIsVCDCompliantModeEnabled(&m_bVCDCompliantMode, nullptr);
  return *this;
}

CkwDiscTemplateSettings::~CkwDiscTemplateSettings() {
  // A destructor must not pass a binding failure on: it may run while that
  // very failure unwinds the stack. Without Nubra the record is freed as is.
  try {
    Release(m_pSaveData);
  } catch (const CkwBindingException&) {
    delete m_pSaveData;
  }
}

bool CkwDiscTemplateSettings::kwSetDiscFormat(CkwDiscFormat::kwDiscFormat eFormat,
                                              CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwDiscTemplateSettings::kwMETHOD_SET_DISC_FORMAT);
  if (eFormat > CkwDiscFormat::kwDISC_FORMAT_LAST) return kwFAIL(record, kwERROR_OUT_OF_RANGE);
  m_eDiscFormat = eFormat;
  return true;
}

bool CkwDiscTemplateSettings::kwGetDiscFormat(CkwDiscFormat::kwDiscFormat* peFormat,
                                              CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwDiscTemplateSettings::kwMETHOD_GET_DISC_FORMAT);
  if (peFormat == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *peFormat = m_eDiscFormat;
  return true;
}

bool CkwDiscTemplateSettings::kwSetVIOSaveData(const SAVEDATA* pSaveData,
                                               CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwDiscTemplateSettings::kwMETHOD_SET_VIO_SAVE_DATA);
  if (pSaveData == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // Clearing the held record first would wipe what the caller hands in.
  if (pSaveData == m_pSaveData) return true;
  if (m_pSaveData != nullptr) {
    if (kwImport::ClearSaveData(m_pSaveData) == 0)
      return kwFAIL(record, kwERROR_CLEAR_SAVEDATA_FAILED);
  } else {
    m_pSaveData = NewZeroRecord();
    if (m_pSaveData == nullptr) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  }
  if (IsZeroFrom(*pSaveData, 0)) return true;
  if (kwImport::CopySaveData(pSaveData, m_pSaveData) != 0) return true;
  // A half-made copy is not cleared: Nubra just failed on it.
  delete m_pSaveData;
  m_pSaveData = nullptr;
  return kwFAIL(record, kwERROR_COPY_SAVEDATA_FAILED);
}

bool CkwDiscTemplateSettings::kwGetVIOSaveData(SAVEDATA** ppSaveData, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwDiscTemplateSettings::kwMETHOD_GET_VIO_SAVE_DATA);
  if (ppSaveData == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *ppSaveData = m_pSaveData;
  return true;
}

bool CkwDiscTemplateSettings::kwEnableVCDCompliantMode(bool bEnable, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  m_bVCDCompliantMode = bEnable;
  return true;
}

bool CkwDiscTemplateSettings::kwIsVCDCompliantModeEnabled(bool* pbEnabled,
                                                          CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwDiscTemplateSettings::kwMETHOD_IS_VCD_COMPLIANT_MODE_ENABLED);
  if (pbEnabled == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pbEnabled = m_bVCDCompliantMode;
  return true;
}
