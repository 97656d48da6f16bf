#include <kwcore/CkwCheckLinkInfo.h>

#include <new>

#include "core/CkwWorkingRecord.h"
#include "core/kwAppendArray.h"
#include "records/kwRecordList.h"

namespace {

// {E4AD958A-9A9B-47C9-9C6D-B3B7C90BAD37}
const GUID kInfoSource = {
    0xE4AD958A, 0x9A9B, 0x47C9, {0x9C, 0x6D, 0xB3, 0xB7, 0xC9, 0x0B, 0xAD, 0x37}};

// {E74D26FB-0860-4CCD-A354-7A05E94C4A85}
const GUID kListSource = {
    0xE74D26FB, 0x0860, 0x4CCD, {0xA3, 0x54, 0x7A, 0x05, 0xE9, 0x4C, 0x4A, 0x85}};

}  // namespace

// ---------------------------------------------------------------------------
// CkwCheckLinkInfo

CkwCheckLinkInfo::CkwCheckLinkInfo() noexcept : m_guidDVDItemID(GUID_NULL) {}

CkwCheckLinkInfo::~CkwCheckLinkInfo() { delete[] m_peFileTypes; }

bool CkwCheckLinkInfo::kwGetDVDItemID(GUID* pID, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwCheckLinkInfo::kwMETHOD_GET_DVD_ITEM_ID);
  if (pID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pID = m_guidDVDItemID;
  return true;
}

bool CkwCheckLinkInfo::kwSetDVDItemID(const GUID* pID, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwCheckLinkInfo::kwMETHOD_SET_DVD_ITEM_ID);
  if (pID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  m_guidDVDItemID = *pID;
  return true;
}

bool CkwCheckLinkInfo::kwClone(CkwCheckLinkInfo** ppClone, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwCheckLinkInfo::kwMETHOD_CLONE);
  if (ppClone == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  CkwCheckLinkInfo* clone = new (std::nothrow) CkwCheckLinkInfo;
  *ppClone = clone;
  if (clone == nullptr) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);

  // Copied through the public operations, which report their own failures
  // into the shared record.
  bool copied = false;
  GUID id;
  std::int32_t count = 0;
  if (kwGetDVDItemID(&id, record.get()) && clone->kwSetDVDItemID(&id, record.get()) &&
      kwGetItemCount(&count, record.get())) {
    copied = true;
    for (std::int32_t i = 0; copied && i < count; ++i) {
      const char* name = nullptr;
      kwFileType type = kwFILE_TYPE_UNKNOWN;
      copied = kwGetFileNameByItemIndex(i, &name, &type, record.get()) &&
               clone->kwAddFileName(name, type, record.get());
    }
  }
  if (!copied) {
    delete clone;
    *ppClone = nullptr;
    return false;
  }
  return true;
}

bool CkwCheckLinkInfo::kwAddFileName(const char* pszName, kwFileType eType,
                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwCheckLinkInfo::kwMETHOD_ADD_FILE_NAME);
  if (pszName == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // Room for the type before the name goes in, so that a name is never left
  // without its type.
  if (!kwAppendArray::ReserveOne(m_peFileTypes, m_nFileTypeCount, m_nFileTypeCapacity))
    return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  if (!m_oFileNames.kwAddString(pszName, record.get())) return false;
  m_peFileTypes[m_nFileTypeCount++] = eType;
  return true;
}

bool CkwCheckLinkInfo::kwGetFileNameByItemIndex(std::int32_t nIndex, const char** ppszName,
                                                kwFileType* peType,
                                                CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource,
                          CkwCheckLinkInfo::kwMETHOD_GET_FILE_NAME_BY_ITEM_INDEX);
  if (nIndex < 0 || nIndex >= m_nFileTypeCount) return kwFAIL(record, kwERROR_OUT_OF_RANGE);
  if (ppszName == nullptr || peType == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (!m_oFileNames.kwGetString(nIndex, ppszName, record.get())) return false;
  *peType = m_peFileTypes[nIndex];
  return true;
}

bool CkwCheckLinkInfo::kwGetItemCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwCheckLinkInfo::kwMETHOD_GET_ITEM_COUNT);
  if (pnCount == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pnCount = m_nFileTypeCount;
  return true;
}

// ---------------------------------------------------------------------------
// CkwCheckLinkFileList

CkwCheckLinkFileList::~CkwCheckLinkFileList() { kwRecordList::DestroyAll(m_ppRecords, m_nCount); }

bool CkwCheckLinkFileList::kwAddCheckLinkInfo(CkwCheckLinkInfo* pRecord, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kListSource,
                          CkwCheckLinkFileList::kwMETHOD_ADD_CHECK_LINK_INFO);
  return kwRecordList::Add(pRecord, m_ppRecords, m_nCount, m_nCapacity, record);
}

bool CkwCheckLinkFileList::kwFindCheckLinkInfoByDVDItemID(const GUID* pID,
                                                          CkwCheckLinkInfo** ppRecord,
                                                          CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kListSource,
                          CkwCheckLinkFileList::kwMETHOD_FIND_CHECK_LINK_INFO_BY_DVD_ITEM_ID);
  return kwRecordList::FindByDVDItemID(m_ppRecords, m_nCount, pID, ppRecord, record);
}

bool CkwCheckLinkFileList::kwMergeFileList(CkwCheckLinkFileList* pOther, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kListSource, CkwCheckLinkFileList::kwMETHOD_MERGE_FILE_LIST);
  if (pOther == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // Read once: merging a list into itself copies what it held before the call.
  std::int32_t count = 0;
  if (!pOther->kwGetCount(&count, record.get())) return false;
  for (std::int32_t i = 0; i < count; ++i) {
    CkwCheckLinkInfo* source = nullptr;
    CkwCheckLinkInfo* clone = nullptr;
    if (!pOther->kwGetCheckLinkInfo(i, &source, record.get())) return false;
    if (!source->kwClone(&clone, record.get())) return false;
    if (!kwAddCheckLinkInfo(clone, record.get())) {
      delete clone;  // never became the list's
      return false;
    }
  }
  return true;
}

bool CkwCheckLinkFileList::kwGetCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kListSource, CkwCheckLinkFileList::kwMETHOD_GET_COUNT);
  if (pnCount == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pnCount = m_nCount;
  return true;
}

bool CkwCheckLinkFileList::kwGetCheckLinkInfo(std::int32_t nIndex, CkwCheckLinkInfo** ppRecord,
                                              CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kListSource,
                          CkwCheckLinkFileList::kwMETHOD_GET_CHECK_LINK_INFO);
  if (ppRecord == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (nIndex < 0 || nIndex >= m_nCount) return kwFAIL(record, kwERROR_OUT_OF_RANGE);
  *ppRecord = m_ppRecords[nIndex];
  return true;
}
