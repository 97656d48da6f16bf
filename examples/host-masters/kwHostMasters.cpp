// A sample host component module: master objects for kwcore's proxies, one
// class serving all seven master CLSIDs. See kwHostMasters.h for how to use
// it and docs/components.md for what a master owes its proxies.
#include "kwHostMasters.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include <kwcore/SkwVrelMasterObject.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwcpp.h>

namespace {

// {E0A5C1D2-7B34-4F6E-9A81-3C2D4B5E6F70}: names the module in its error records.
const GUID kHostMastersSource = {
    0xE0A5C1D2, 0x7B34, 0x4F6E, {0x9A, 0x81, 0x3C, 0x2D, 0x4B, 0x5E, 0x6F, 0x70}};

// Method numbers of the module's own reports.
enum : std::int32_t {
  kMethodGetCLSID = 1,
  kMethodDetachProxy = 2,
  kMethodAttachProxy = 3,
  kMethodNotifyProxyEvent = 4,
};

class CHostMaster : public CkwServiceObject,
                    public SkwVrelMasterObject_Link,
                    public SkwVrelMasterObject_Notify {
  kwDECLARE_SERVICE_MAP()

      public : explicit CHostMaster(const GUID& clsid) noexcept
      : m_clsid(clsid) {
    std::lock_guard<std::mutex> lock(s_liveLock);
    m_pNext = s_pLive;
    if (m_pNext != nullptr) m_pNext->m_pPrevious = this;
    s_pLive = this;
  }

  /// The live master `object` is, or null.
  static const CHostMaster* Find(const CkwServiceObject* object) {
    std::lock_guard<std::mutex> lock(s_liveLock);
    for (const CHostMaster* master = s_pLive; master != nullptr; master = master->m_pNext)
      if (static_cast<const CkwServiceObject*>(master) == object) return master;
    return nullptr;
  }

  const std::vector<kwHostMasterCall>& Calls() const { return m_calls; }

  // One class serves every master CLSID, so the map's fixed answer will not do.
  bool kwGetCLSID(GUID* pCLSID, CkwErrorInfo* pErrorInfo) override {
    CkwModuleRecord record(pErrorInfo, kHostMastersSource, kMethodGetCLSID);
    if (pCLSID == nullptr) return record.Fail(kwERROR_NULL_POINTER);
    *pCLSID = m_clsid;
    return true;
  }

  bool kwDetachProxy(CkwServiceObject* pProxy, CkwErrorInfo* pErrorInfo) override {
    return Record({kwHOST_MASTER_DETACH, pProxy, 0, 0}, kMethodDetachProxy, pErrorInfo);
  }
  bool kwAttachProxy(CkwServiceObject* pProxy, CkwErrorInfo* pErrorInfo) override {
    return Record({kwHOST_MASTER_ATTACH, pProxy, 0, 0}, kMethodAttachProxy, pErrorInfo);
  }
  bool kwNotifyProxyEvent(CkwServiceObject* pProxy, std::int32_t nEvent, std::int32_t nParameter,
                          CkwErrorInfo* pErrorInfo) override {
    // A real master would refresh its views on kwPROXY_EVENT_CONTENT_CHANGED
    // and forget the proxy on kwPROXY_EVENT_DESTROYED; this one only records.
    return Record({kwHOST_MASTER_EVENT, pProxy, nEvent, nParameter}, kMethodNotifyProxyEvent,
                  pErrorInfo);
  }

 protected:
  ~CHostMaster() override {
    std::lock_guard<std::mutex> lock(s_liveLock);
    if (m_pPrevious != nullptr) m_pPrevious->m_pNext = m_pNext;
    if (m_pNext != nullptr) m_pNext->m_pPrevious = m_pPrevious;
    if (s_pLive == this) s_pLive = m_pNext;
  }

 private:
  bool Record(const kwHostMasterCall& call, std::int32_t method, CkwErrorInfo* pErrorInfo) {
    CkwModuleRecord record(pErrorInfo, kHostMastersSource, method);
    if (call.pProxy == nullptr) return record.Fail(kwERROR_NULL_POINTER);
    // Nothing may be thrown back into kwcore.
    try {
      m_calls.push_back(call);
    } catch (const std::bad_alloc&) {
      return record.Fail(kwERROR_OUT_OF_MEMORY);
    }
    return true;
  }

  GUID m_clsid;
  std::vector<kwHostMasterCall> m_calls;
  // The live masters, so that a reader handed any pointer can tell.
  CHostMaster* m_pPrevious = nullptr;
  CHostMaster* m_pNext = nullptr;
  static inline std::mutex s_liveLock;
  static inline CHostMaster* s_pLive = nullptr;
};

// clang-format off
kwBEGIN_SERVICE_MAP(CHostMaster, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_SkwVrelMasterObject_Link, CHostMaster, SkwVrelMasterObject_Link)
  kwSERVICE_ENTRY(&IID_SkwVrelMasterObject_Notify, CHostMaster, SkwVrelMasterObject_Notify)
kwEND_SERVICE_MAP(CHostMaster)

template <const GUID& kMasterCLSID>
bool CreateMaster(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo) {
  CkwModuleRecord record(pErrorInfo, kHostMastersSource, kwMETHOD_COMPONENT_CREATE);
  *ppObject = new (std::nothrow) CHostMaster(kMasterCLSID);
  if (*ppObject == nullptr) return record.Fail(kwERROR_OUT_OF_MEMORY);
  return true;
}
// clang-format on

}  // namespace

// clang-format off
kwBEGIN_COMPONENT_MAP(kHostMastersSource)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelAudioMediaFileProxyMaster, &CreateMaster<CLSID_CkwVrelAudioMediaFileProxyMaster>)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelImageMediaFileProxyMaster, &CreateMaster<CLSID_CkwVrelImageMediaFileProxyMaster>)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelVideoMediaFileProxyMaster, &CreateMaster<CLSID_CkwVrelVideoMediaFileProxyMaster>)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelQMXMediaFileProxyMaster,   &CreateMaster<CLSID_CkwVrelQMXMediaFileProxyMaster>)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelImageSlideshowProxyMaster, &CreateMaster<CLSID_CkwVrelImageSlideshowProxyMaster>)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelVideoSlideshowProxyMaster, &CreateMaster<CLSID_CkwVrelVideoSlideshowProxyMaster>)
  kwCOMPONENT_FUNCTION(CLSID_CkwVrelJRVSlideshowProxyMaster,   &CreateMaster<CLSID_CkwVrelJRVSlideshowProxyMaster>)
kwEND_COMPONENT_MAP()

extern "C" KW_VISIBILITY_DEFAULT int kwHostMasters_ReadCalls(const CkwServiceObject* pMaster,
                                                             kwHostMasterCall* pCalls,
                                                             int nCapacity) {
  const CHostMaster* master = CHostMaster::Find(pMaster);
  if (master == nullptr) return -1;
  const std::vector<kwHostMasterCall>& calls = master->Calls();
  if (pCalls != nullptr && nCapacity > 0)
    std::copy_n(calls.begin(), std::min(calls.size(), static_cast<std::size_t>(nCapacity)), pCalls);
  return static_cast<int>(calls.size());
}
// clang-format on
