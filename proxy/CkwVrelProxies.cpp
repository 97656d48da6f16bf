// The concrete proxies: one identity row each, and the behaviour that their
// operation rows (in the class headers) share.
#include <kwcore/CkwVrelAudioMediaFileProxy.h>
#include <kwcore/CkwVrelImageMediaFileProxy.h>
#include <kwcore/CkwVrelImageSlideshowProxy.h>
#include <kwcore/CkwVrelJRVSlideshowProxy.h>
#include <kwcore/CkwVrelQMXMediaFileProxy.h>
#include <kwcore/CkwVrelVideoMediaFileProxy.h>
#include <kwcore/CkwVrelVideoSlideshowProxy.h>

#include <memory>

#include "core/CkwWorkingRecord.h"
#include "core/kwImports.h"
#include "proxy/kwVrelProxyPattern.h"

// clang-format off
// The CLSID is also the source GUID of the class's error records; the type
// number pairs with kwGUID_ObjectType. The JRV slideshow proxy derives from the
// video slideshow proxy, but its maps skip the parent's.
//                  class                       map parent        CLSID                                     master CLSID                              type
kwDEFINE_VREL_PROXY(CkwVrelAudioMediaFileProxy, CkwVrelProxyBase, "{62A16865-454E-4FFF-8DDD-2E401B0B2B6A}", "{9DB863C6-67DB-4994-A673-AEF43F8E3854}",  28);
kwDEFINE_VREL_PROXY(CkwVrelImageMediaFileProxy, CkwVrelProxyBase, "{5224B992-B4A4-4401-9815-D9F47155FA2C}", "{9E64326B-C483-44D8-9AD1-3B2DED9891CE}",  29);
kwDEFINE_VREL_PROXY(CkwVrelVideoMediaFileProxy, CkwVrelProxyBase, "{626BD2D7-555F-480E-8032-BBEB07F41C1D}", "{EFC37143-F840-4A15-A544-46D55958E323}",  66);
kwDEFINE_VREL_PROXY(CkwVrelQMXMediaFileProxy,   CkwVrelProxyBase, "{5988E0C1-F7A5-4DA3-A7DB-91C9AA8A2E99}", "{963C44A4-7388-4561-8624-C5E53E7A6304}", 112);
kwDEFINE_VREL_PROXY(CkwVrelImageSlideshowProxy, CkwVrelProxyBase, "{1D964FDB-F580-4DB6-BDE4-BFCB586F8AE5}", "{532CE51C-62CE-4851-9998-09F4F079C657}",  30);
kwDEFINE_VREL_PROXY(CkwVrelVideoSlideshowProxy, CkwVrelProxyBase, "{78F12041-E55D-4FEF-8C64-0645E2ECA21A}", "{0B658FCD-9C53-4FCD-BFA8-9C987DD428EA}",  33);
kwDEFINE_VREL_PROXY(CkwVrelJRVSlideshowProxy,   CkwVrelProxyBase, "{9A8BA917-808A-423F-9D14-2ECCFBA621FB}", "{4212791B-BF06-4300-AB1E-39FB8F9EFC4B}",  31);
// clang-format on

bool CkwVrelImageMediaFileProxy::kwIsRunTimeTypeOf(const GUID* pTypeGUID, std::int32_t nTypeNumber,
                                                   bool* pbResult, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, CLSID_CkwVrelImageMediaFileProxy,
                          kwMETHOD_IS_RUN_TIME_TYPE_OF);
  if (pTypeGUID != nullptr && pbResult != nullptr && nTypeNumber == kwRUN_TIME_TYPE_NUMBER &&
      IsEqualGUID(*pTypeGUID, kwGUID_ObjectType)) {
    *pbResult = true;
    return true;
  }
  return CkwVrelProxyBase::kwIsRunTimeTypeOf(pTypeGUID, nTypeNumber, pbResult, pErrorInfo);
}

namespace {

// Every proxy stream holds one memory block of 32 zero bytes, reserved;
// loading does not read it.
constexpr int kBlockSize = 32;

struct ReleaseStream {
  void operator()(IStream* stream) const noexcept { stream->Release(); }
};
using StreamHandle = std::unique_ptr<IStream, ReleaseStream>;

}  // namespace

namespace kwVrelProxyDetail {

bool NotImplemented(const kwVrelProxyIdentity& identity, std::int32_t method,
                    CkwErrorInfo* pErrorInfo) noexcept {
  CkwWorkingRecord record(pErrorInfo, identity.clsid, method);
  return kwFAIL(record, kwERROR_NOT_IMPLEMENTED);
}

bool Load(const kwVrelProxyIdentity& identity, std::int32_t method, IStorage* pStorage,
          CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, identity.clsid, method);
  if (pStorage == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  IStream* opened = nullptr;
  LONG status = kwImport::StreamOpen(pStorage, identity.streamName, &opened);
  StreamHandle stream(opened);
  // A missing stream means the storage holds another kind of proxy (or none):
  // the caller may try another kind, so it is only a warning.
  if (status < 0) return kwWARN(record, kwERROR_OPEN_ELEMENT_FAILED);
  return true;
}

bool Save(const kwVrelProxyIdentity& identity, std::int32_t method, IStorage* pStorage,
          CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, identity.clsid, method);
  if (pStorage == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  IStream* created = nullptr;
  LONG status = kwImport::StreamCreate(pStorage, identity.streamName, &created);
  StreamHandle stream(created);
  if (status < 0) return kwWARN(record, kwERROR_CREATE_ELEMENT_FAILED);
  const BYTE block[kBlockSize] = {};
  if (kwImport::StreamWriteMemoryBlock(stream.get(), kBlockSize, block) < 0)
    return kwFAIL(record, kwERROR_STREAM_WRITE_FAILED);
  return true;
}

bool IsEqual(const kwVrelProxyIdentity& identity, std::int32_t method, const void* pOther,
             bool* pbResult, CkwErrorInfo* pErrorInfo) noexcept {
  CkwWorkingRecord record(pErrorInfo, identity.clsid, method);
  if (pOther == nullptr || pbResult == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // A proxy has no state of its own to compare: two of a kind stand for
  // media items alike as far as kwcore can tell.
  *pbResult = true;
  return true;
}

}  // namespace kwVrelProxyDetail
