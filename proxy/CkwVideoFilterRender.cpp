#include <kwcore/CkwVideoFilterRender.h>

#include "core/CkwWorkingRecord.h"

const GUID IID_SkwVideoFilterRender_Method = {
    0x3E2B1271, 0xFABA, 0x4B84, {0x98, 0xC1, 0x1E, 0xD4, 0x01, 0xDF, 0xCC, 0x5A}};
const GUID CLSID_CkwVideoFilterRender = {
    0x8C108BC5, 0x6DCD, 0x446F, {0x86, 0xEC, 0x00, 0x59, 0x49, 0x38, 0xB7, 0x7B}};

namespace {

const GUID& kSource = CLSID_CkwVideoFilterRender;
using M = CkwVideoFilterRender;

}  // namespace

// clang-format off
kwBEGIN_OBJECT_MAP(CkwVideoFilterRender, CkwServiceObject, CLSID_CkwVideoFilterRender)
  kwOBJECT_ENTRY(&kwGUID_ObjectType, 101)
kwEND_OBJECT_MAP(CkwVideoFilterRender)

kwBEGIN_SERVICE_MAP(CkwVideoFilterRender, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_SkwVideoFilterRender_Method, CkwVideoFilterRender, SkwVideoFilterRender_Method)
kwEND_SERVICE_MAP(CkwVideoFilterRender)
CkwVideoFilterRender::~CkwVideoFilterRender() = default;
// clang-format on

bool CkwVideoFilterRender::kwAddVideoFilter(GUID*, unsigned int, unsigned int,
                                            CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  return true;
}

bool CkwVideoFilterRender::kwApplyFilterBegin(unsigned int, unsigned int,
                                              CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  return true;
}

bool CkwVideoFilterRender::kwApplyFilter(unsigned int, BITMAPINFOHEADER*, BITMAPINFOHEADER*,
                                         CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  return true;
}

bool CkwVideoFilterRender::kwApplyFilterEnd(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  return true;
}

bool CkwVideoFilterRender::kwSetTimeBase(TimeBase eTimeBase, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  m_eTimeBase = eTimeBase;
  return true;
}

bool CkwVideoFilterRender::kwSetTotalDuration(unsigned int nDuration, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  m_nTotalDuration = nDuration;
  return true;
}

bool CkwVideoFilterRender::kwGetEffectDuration(unsigned int* pnDuration, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, M::kwMETHOD_GET_EFFECT_DURATION);
  if (pnDuration == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pnDuration = m_nTotalDuration;
  return true;
}
