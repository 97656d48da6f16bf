#include <kwcore/CkwVrelProxyBase.h>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/SkwVrelMasterObject.h>

#include "core/CkwWorkingRecord.h"

const GUID CLSID_CkwVrelProxyBase = {
    0xF25D3067, 0x5037, 0x4B2C, {0xA1, 0x4E, 0x11, 0x6B, 0x9C, 0x92, 0xA3, 0x55}};
const GUID IID_SkwVrelMasterObject_Link = {
    0x0AE33F82, 0x85D3, 0x480D, {0xAB, 0xA8, 0xD2, 0x42, 0x75, 0x8A, 0x33, 0x08}};
const GUID IID_SkwVrelMasterObject_Notify = {
    0xC304B950, 0x1109, 0x4B05, {0x88, 0x18, 0x72, 0xF9, 0xA2, 0x41, 0xD3, 0xE6}};

namespace {

const GUID& kSource = CLSID_CkwVrelProxyBase;
using M = CkwVrelProxyBase;

/// The master's interface `iid`, or null. A master that claims success but
/// hands out nothing counts as not offering it.
template <class Interface>
Interface* QueryMaster(CkwServiceObject* master, const GUID& iid, bool* answered,
                       CkwErrorInfo* pErrorInfo) {
  void* service = nullptr;
  *answered = master->kwQueryService(&iid, &service, pErrorInfo);
  return static_cast<Interface*>(service);
}

}  // namespace

// clang-format off
kwBEGIN_OBJECT_MAP(CkwVrelProxyBase, CkwServiceObject, CLSID_CkwVrelProxyBase)
kwEND_OBJECT_MAP(CkwVrelProxyBase)

kwBEGIN_SERVICE_MAP(CkwVrelProxyBase, CkwServiceObject)
kwEND_SERVICE_MAP(CkwVrelProxyBase)
    // clang-format on

    CkwVrelProxyBase::CkwVrelProxyBase() noexcept
    : m_pMasterObject(nullptr) {}

CkwVrelProxyBase::CkwVrelProxyBase(const CkwVrelProxyBase& other) noexcept
    : CkwServiceObject(other), m_pMasterObject(other.m_pMasterObject) {}

CkwVrelProxyBase& CkwVrelProxyBase::operator=(const CkwVrelProxyBase& other) noexcept {
  m_pMasterObject = other.m_pMasterObject;
  return *this;
}

CkwVrelProxyBase::~CkwVrelProxyBase() {
  // The derived parts are destroyed already: a master that calls the proxy
  // back during the event reaches only its CkwVrelProxyBase part.
  if (m_pMasterObject != nullptr) {
    bool answered = false;
    auto* notify = QueryMaster<SkwVrelMasterObject_Notify>(
        m_pMasterObject, IID_SkwVrelMasterObject_Notify, &answered, nullptr);
    if (answered && notify != nullptr)
      notify->kwNotifyProxyEvent(this, kwPROXY_EVENT_DESTROYED, 0, nullptr);
  }
  m_pMasterObject = nullptr;
}

bool CkwVrelProxyBase::kwGetMasterObject(CkwServiceObject** ppMaster, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, M::kwMETHOD_GET_MASTER_OBJECT);
  if (ppMaster == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *ppMaster = m_pMasterObject;
  return true;
}

bool CkwVrelProxyBase::kwSetMasterObject(CkwServiceObject* pMaster, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, M::kwMETHOD_SET_MASTER_OBJECT);
  m_pMasterObject = pMaster;
  if (pMaster == nullptr) return true;
  // Only the interface counts: the master's verdict on the query is its own.
  bool answered = false;
  auto* link = QueryMaster<SkwVrelMasterObject_Link>(pMaster, IID_SkwVrelMasterObject_Link,
                                                     &answered, nullptr);
  if (link == nullptr) return kwFAIL(record, kwERROR_SERVICE_NOT_OFFERED);
  link->kwAttachProxy(this, nullptr);
  return true;
}

bool CkwVrelProxyBase::kwLinkToMasterObject(const GUID* pMasterCLSID, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, M::kwMETHOD_LINK_TO_MASTER_OBJECT);
  if (pMasterCLSID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (m_pMasterObject != nullptr) return kwFAIL(record, kwERROR_ALREADY_PRESENT);
  CkwServiceObject* master = nullptr;
  if (!CkwObjectFactory::kwCreateObject(pMasterCLSID, &master, record.get())) {
    // A component may hand over an object and still fail; it is ours to free.
    if (master != nullptr) CkwObjectFactory::kwFreeObject(&master, nullptr);
    // The factory's warning (class not available) means the link cannot be
    // made at all: for the proxy that is an error.
    if (record.Severity() == kwSEVERITY_WARNING)
      return kwFAIL_AS(record, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_ERROR);
    return false;
  }
  // A component may claim success without handing over an object; linking
  // to nothing would leave the proxy unlinked while reporting success.
  if (master == nullptr)
    return kwFAIL_AS(record, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_ERROR);
  if (kwSetMasterObject(master, record.get())) return true;
  // A master that cannot be attached is of no use: drop it rather than keep
  // an object that nobody owns.
  m_pMasterObject = nullptr;
  CkwObjectFactory::kwFreeObject(&master, nullptr);
  return false;
}

bool CkwVrelProxyBase::kwNotifyMasterObjectContentChange(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  if (m_pMasterObject == nullptr) return true;
  bool answered = false;
  auto* notify = QueryMaster<SkwVrelMasterObject_Notify>(
      m_pMasterObject, IID_SkwVrelMasterObject_Notify, &answered, record.get());
  if (!answered) return false;
  if (notify == nullptr) return kwFAIL(record, kwERROR_SERVICE_NOT_OFFERED);
  notify->kwNotifyProxyEvent(this, kwPROXY_EVENT_CONTENT_CHANGED, 0, nullptr);
  return true;
}

bool CkwVrelProxyBase::kwIsolateFromHostProject(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, M::kwMETHOD_ISOLATE_FROM_HOST_PROJECT);
  return kwFAIL(record, kwERROR_NOT_IMPLEMENTED);
}
