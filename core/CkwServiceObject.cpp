#include <kwcore/CkwServiceObject.h>

#include "CkwWorkingRecord.h"

const GUID CLSID_CkwServiceObject = {
    0xD637092D, 0x6B0A, 0x4F0F, {0xA6, 0xDA, 0x73, 0xDB, 0xD2, 0x6F, 0xAA, 0xED}};
const GUID kwGUID_ObjectType = {
    0xF3CD65CE, 0x858E, 0x42A9, {0xAF, 0x0B, 0xC3, 0xB8, 0x14, 0xAA, 0x71, 0x5F}};
const GUID kwGUID_ErrorCategoryGeneral = {
    0xB7F7E902, 0x128F, 0x4565, {0xA5, 0x75, 0x79, 0x3A, 0xE3, 0x2A, 0x0F, 0x7F}};

namespace {

const GUID& kSource = CLSID_CkwServiceObject;

}  // namespace

CkwServiceObject::~CkwServiceObject() = default;

bool CkwServiceObject::kwQueryService(const GUID* pServiceIID, void** ppService,
                                      CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_QUERY_SERVICE);
  if (ppService == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *ppService = nullptr;
  if (pServiceIID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return kwWARN(record, kwERROR_SERVICE_NOT_OFFERED);
}

bool CkwServiceObject::kwIsKindOf(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,
                                  CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_IS_KIND_OF);
  if (pbResult == nullptr || pTypeGUID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pbResult = false;
  // Through the virtual slot: the most derived class's run-time test decides.
  return kwIsRunTimeTypeOf(pTypeGUID, nTypeNumber, pbResult, pErrorInfo);
}

bool CkwServiceObject::kwGetCLSID(GUID* pCLSID, CkwErrorInfo* pErrorInfo) {
  return kwServiceObjectDetail::CopyCLSID(CLSID_CkwServiceObject, pCLSID, pErrorInfo);
}

bool CkwServiceObject::kwIsRunTimeTypeOf(const GUID* pTypeGUID, std::int32_t /*nTypeNumber*/,
                                         bool* pbResult, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_IS_RUN_TIME_TYPE_OF);
  if (pbResult == nullptr || pTypeGUID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pbResult = false;
  return true;
}

namespace kwServiceObjectDetail {

MatchResult MatchObjectMap(const kwObjectEntry* table, std::int32_t count, const GUID* pTypeGUID,
                           std::int32_t nTypeNumber, bool* pbResult,
                           CkwErrorInfo* pErrorInfo) noexcept {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_IS_KIND_OF);
  if (pbResult == nullptr || pTypeGUID == nullptr) {
    kwFAIL(record, kwERROR_NULL_POINTER);
    return kFailed;
  }
  *pbResult = false;
  for (std::int32_t i = 0; i < count; ++i) {
    if (table[i].nTypeNumber == nTypeNumber && IsEqualGUID(*table[i].pTypeGUID, *pTypeGUID)) {
      *pbResult = true;
      return kMatched;
    }
  }
  return kAskParent;
}

MatchResult MatchServiceMap(const kwServiceEntry* table, std::int32_t count, CkwServiceObject* self,
                            const GUID* pServiceIID, void** ppService,
                            CkwErrorInfo* pErrorInfo) noexcept {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_QUERY_SERVICE);
  if (ppService == nullptr) {
    kwFAIL(record, kwERROR_NULL_POINTER);
    return kFailed;
  }
  *ppService = nullptr;
  if (pServiceIID == nullptr) {
    kwFAIL(record, kwERROR_NULL_POINTER);
    return kFailed;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    if (IsEqualGUID(*table[i].pServiceIID, *pServiceIID)) {
      *ppService = reinterpret_cast<char*>(self) + table[i].nServiceOffset;
      return kMatched;
    }
  }
  return kAskParent;
}

bool CopyCLSID(const GUID& clsid, GUID* pCLSID, CkwErrorInfo* pErrorInfo) noexcept {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_GET_CLSID);
  if (pCLSID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pCLSID = clsid;
  return true;
}

bool BeginCreate(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo) noexcept {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_CREATE_OBJECT);
  if (ppObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return true;
}

bool EndCreate(CkwServiceObject** ppObject, CkwServiceObject* object,
               CkwErrorInfo* pErrorInfo) noexcept {
  *ppObject = object;
  if (object != nullptr) return true;
  CkwWorkingRecord record(pErrorInfo, kSource, CkwServiceObject::kwMETHOD_CREATE_OBJECT);
  return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
}

}  // namespace kwServiceObjectDetail
