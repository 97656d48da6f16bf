// libkwhostmasters: a sample host component module that serves a master
// object for each of the seven master CLSIDs of kwcore's proxies
// (kwcore/SkwVrelMasterObject.h). Register it for those CLSIDs, and a proxy's
// kwLinkToMasterObject creates its master here:
//
//     [COMPONENT]
//     9DB863C6-67DB-4994-A673-AEF43F8E3854=/opt/kwcore/lib/kwcore/examples/libkwhostmasters.so
//     ...
//
// Each master answers kwGetCLSID with the CLSID it was created for, offers
// SkwVrelMasterObject_Link and SkwVrelMasterObject_Notify, and records every
// call it receives through them, in order. A caller reads that record with
// kwHostMasters_ReadCalls, looked up in the loaded module:
//
//     auto read = reinterpret_cast<kwHostMastersReadCallsFunction>(
//         dlsym(module, kwHOST_MASTERS_READ_CALLS));
//     kwHostMasterCall calls[16];
//     int count = read(master, calls, 16);
//
// A master belongs to whoever holds it, never to its proxies: free it with
// CkwObjectFactory::kwFreeObject once every proxy that points to it (copies
// included) is gone, since each of them tells it of its end.
#pragma once

#include <cstdint>

#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>

/// What a master was told.
enum kwHostMasterCallKind : std::int32_t {
  kwHOST_MASTER_ATTACH = 1,  ///< SkwVrelMasterObject_Link::kwAttachProxy
  kwHOST_MASTER_DETACH = 2,  ///< SkwVrelMasterObject_Link::kwDetachProxy
  kwHOST_MASTER_EVENT = 3,   ///< SkwVrelMasterObject_Notify::kwNotifyProxyEvent
};

/// One call a master received.
struct kwHostMasterCall {
  kwHostMasterCallKind eKind;
  /// The proxy as passed. After its destruction event only good for
  /// telling proxies apart.
  const CkwServiceObject* pProxy;
  std::int32_t nEvent;      ///< kwHOST_MASTER_EVENT only: kwPROXY_EVENT_...
  std::int32_t nParameter;  ///< kwHOST_MASTER_EVENT only
};

/// The exported name of the reader below.
#define kwHOST_MASTERS_READ_CALLS "kwHostMasters_ReadCalls"

/// Copies the first `nCapacity` calls that `pMaster` received into `pCalls`
/// (which may be null when `nCapacity` is 0) and returns how many it received
/// in all; -1 when `pMaster` is not a live master of this module. Call it
/// from the thread that uses the master.
extern "C" KW_VISIBILITY_DEFAULT int kwHostMasters_ReadCalls(const CkwServiceObject* pMaster,
                                                             kwHostMasterCall* pCalls,
                                                             int nCapacity);
typedef int (*kwHostMastersReadCallsFunction)(const CkwServiceObject* pMaster,
                                              kwHostMasterCall* pCalls, int nCapacity);
