#include <kwcore/CkwUpdateLinkInfo.h>

#include "core/CkwWorkingRecord.h"
#include "records/kwRecordList.h"

namespace {

// {26E764E8-835B-4AB2-B119-CE8B3B1E17C3}
const GUID kInfoSource = {
    0x26E764E8, 0x835B, 0x4AB2, {0xB1, 0x19, 0xCE, 0x8B, 0x3B, 0x1E, 0x17, 0xC3}};

// {1205DD9A-A974-4E18-9EA3-E725FA8129B0}
const GUID kListSource = {
    0x1205DD9A, 0xA974, 0x4E18, {0x9E, 0xA3, 0xE7, 0x25, 0xFA, 0x81, 0x29, 0xB0}};

}  // namespace

// ---------------------------------------------------------------------------
// CkwUpdateLinkInfo

CkwUpdateLinkInfo::CkwUpdateLinkInfo() noexcept : m_guidDVDItemID(GUID_NULL) {}

CkwUpdateLinkInfo::~CkwUpdateLinkInfo() = default;

bool CkwUpdateLinkInfo::kwAddFilePair(const char* pszFirst, const char* pszSecond,
                                      CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwUpdateLinkInfo::kwMETHOD_ADD_FILE_PAIR);
  if (pszFirst == nullptr || pszSecond == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (!m_oFirstNames.kwAddString(pszFirst, record.get())) return false;
  if (!m_oSecondNames.kwAddString(pszSecond, record.get())) {
    // Only memory can run out here; take the first name back so that the two
    // lists keep the same length. The string list's report stands.
    m_oFirstNames.DropLast();
    return false;
  }
  return true;
}

bool CkwUpdateLinkInfo::kwGetDVDItemID(GUID* pID, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwUpdateLinkInfo::kwMETHOD_GET_DVD_ITEM_ID);
  if (pID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pID = m_guidDVDItemID;
  return true;
}

bool CkwUpdateLinkInfo::kwSetDVDItemID(const GUID* pID, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwUpdateLinkInfo::kwMETHOD_SET_DVD_ITEM_ID);
  if (pID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  m_guidDVDItemID = *pID;
  return true;
}

bool CkwUpdateLinkInfo::kwGetFilePairByItemIndex(std::int32_t nIndex, const char** ppszFirst,
                                                 const char** ppszSecond,
                                                 CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource,
                          CkwUpdateLinkInfo::kwMETHOD_GET_FILE_PAIR_BY_ITEM_INDEX);
  std::int32_t count = 0;
  if (!m_oFirstNames.kwGetCount(&count, record.get())) return false;
  if (nIndex < 0 || nIndex >= count) return kwFAIL(record, kwERROR_OUT_OF_RANGE);
  if (ppszFirst == nullptr || ppszSecond == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return m_oFirstNames.kwGetString(nIndex, ppszFirst, record.get()) &&
         m_oSecondNames.kwGetString(nIndex, ppszSecond, record.get());
}

bool CkwUpdateLinkInfo::kwGetItemCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kInfoSource, CkwUpdateLinkInfo::kwMETHOD_GET_ITEM_COUNT);
  if (pnCount == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return m_oFirstNames.kwGetCount(pnCount, record.get());
}

// ---------------------------------------------------------------------------
// CkwUpdateLinkFileList

CkwUpdateLinkFileList::~CkwUpdateLinkFileList() { kwRecordList::DestroyAll(m_ppRecords, m_nCount); }

bool CkwUpdateLinkFileList::kwAddUpdateLinkInfo(CkwUpdateLinkInfo* pRecord,
                                                CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kListSource,
                          CkwUpdateLinkFileList::kwMETHOD_ADD_UPDATE_LINK_INFO);
  return kwRecordList::Add(pRecord, m_ppRecords, m_nCount, m_nCapacity, record);
}

bool CkwUpdateLinkFileList::kwFindUpdateLinkInfoByDVDItemID(const GUID* pID,
                                                            CkwUpdateLinkInfo** ppRecord,
                                                            CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kListSource,
                          CkwUpdateLinkFileList::kwMETHOD_FIND_UPDATE_LINK_INFO_BY_DVD_ITEM_ID);
  return kwRecordList::FindByDVDItemID(m_ppRecords, m_nCount, pID, ppRecord, record);
}
