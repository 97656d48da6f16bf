// The master side of the media proxies, for component authors: a proxy in a
// DVD project stands for a media item of the host project, its master object,
// which a host's component module serves by CLSID (see docs/components.md,
// "Serving master objects for proxies").
//
// A proxy reaches its master only through the two interfaces below, which the
// master hands out from its kwQueryService:
//
//   - when the proxy links to the master it calls kwAttachProxy once;
//   - when the proxy's content changes it sends kwPROXY_EVENT_CONTENT_CHANGED,
//     and when the proxy (or a copy of it) is destroyed it sends
//     kwPROXY_EVENT_DESTROYED, both through kwNotifyProxyEvent.
//
// Proxies call with a null error record and ignore the results. A proxy never
// frees its master: the master's lifetime is the host's affair, and a master
// must outlive every proxy that points to it (copies included), because each
// of them tells it of its end.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

/// {0AE33F82-85D3-480D-ABA8-D242758A3308}
extern KWCORE_API const GUID IID_SkwVrelMasterObject_Link;
/// {C304B950-1109-4B05-8818-72F9A241D3E6}
extern KWCORE_API const GUID IID_SkwVrelMasterObject_Notify;

/// The proxy is being destroyed; the pointer passed is valid only during the call.
inline constexpr std::int32_t kwPROXY_EVENT_DESTROYED = 0;
/// The proxy's content changed (CkwVrelProxyBase::kwNotifyMasterObjectContentChange).
inline constexpr std::int32_t kwPROXY_EVENT_CONTENT_CHANGED = 3;

/// Attaching proxies to a master. Two operations in this slot order, no data,
/// no virtual destructor.
struct SkwVrelMasterObject_Link {
  /// Never called by kwcore; the slot is the host's, for undoing an attach on
  /// its own initiative.
  virtual bool kwDetachProxy(CkwServiceObject* pProxy, CkwErrorInfo* pErrorInfo) = 0;
  /// A proxy linked itself to this master. Called again when a proxy is given
  /// the same master again.
  virtual bool kwAttachProxy(CkwServiceObject* pProxy, CkwErrorInfo* pErrorInfo) = 0;
};

/// Events from proxies. One operation, no data, no virtual destructor.
struct SkwVrelMasterObject_Notify {
  /// `nEvent` is one of the kwPROXY_EVENT_ codes; kwcore passes 0 as
  /// `nParameter`.
  virtual bool kwNotifyProxyEvent(CkwServiceObject* pProxy, std::int32_t nEvent,
                                  std::int32_t nParameter, CkwErrorInfo* pErrorInfo) = 0;
};

// The CLSIDs under which each kind of proxy asks the factory for its master.
// A module that serves masters registers these.

/// {9DB863C6-67DB-4994-A673-AEF43F8E3854}
extern KWCORE_API const GUID CLSID_CkwVrelAudioMediaFileProxyMaster;
/// {9E64326B-C483-44D8-9AD1-3B2DED9891CE}
extern KWCORE_API const GUID CLSID_CkwVrelImageMediaFileProxyMaster;
/// {EFC37143-F840-4A15-A544-46D55958E323}
extern KWCORE_API const GUID CLSID_CkwVrelVideoMediaFileProxyMaster;
/// {963C44A4-7388-4561-8624-C5E53E7A6304}
extern KWCORE_API const GUID CLSID_CkwVrelQMXMediaFileProxyMaster;
/// {532CE51C-62CE-4851-9998-09F4F079C657}
extern KWCORE_API const GUID CLSID_CkwVrelImageSlideshowProxyMaster;
/// {0B658FCD-9C53-4FCD-BFA8-9C987DD428EA}
extern KWCORE_API const GUID CLSID_CkwVrelVideoSlideshowProxyMaster;
/// {4212791B-BF06-4300-AB1E-39FB8F9EFC4B}
extern KWCORE_API const GUID CLSID_CkwVrelJRVSlideshowProxyMaster;
