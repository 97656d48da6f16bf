// CkwVrelProxyBase: the common base of the media proxies. A proxy stands in a
// DVD project for a media item of the host project, its master object, which
// a host's component module serves (kwcore/SkwVrelMasterObject.h).
//
// The base holds the one piece of state every proxy has, the pointer to its
// master, and the link protocol:
//
//   unlinked             master null: after creation, kwSetMasterObject(null)
//                        or a failed kwLinkToMasterObject
//   linked, attached     kwLinkToMasterObject succeeded, or kwSetMasterObject
//                        with a master offering SkwVrelMasterObject_Link
//   linked, not attached kwSetMasterObject with a master lacking it (false)
//
// A linked proxy tells its master of content changes (event 3) and, when
// destroyed, of its end (event 0). The proxy never frees its master, not even
// one it created; a master set with kwSetMasterObject stays the caller's.
// Copying copies the master pointer only: the copy is not attached, yet it
// too sends event 0 when destroyed.
//
// Failures of the base report its CLSID as source, with the method numbers
// below: a null output or CLSID pointer code 2; a master without
// SkwVrelMasterObject_Link code 4; a factory that only warned code 7 (severity
// 2); a proxy already linked code 18; isolation in the base code 8.
//
// The concrete proxies are declared with the macros at the end of this file.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinTypes.h>

/// {F25D3067-5037-4B2C-A14E-116B9C92A355}; also the source GUID of the base's
/// error records.
extern KWCORE_API const GUID CLSID_CkwVrelProxyBase;

class KWCORE_API CkwVrelProxyBase : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP()

      public : enum : std::int32_t {
        kwMETHOD_GET_MASTER_OBJECT = 0,
        kwMETHOD_SET_MASTER_OBJECT = 1,
        kwMETHOD_LINK_TO_MASTER_OBJECT = 2,
        kwMETHOD_ISOLATE_FROM_HOST_PROJECT = 4,
      };

  /// Copy the master pointer, nothing else: no attach, no event.
  CkwVrelProxyBase(const CkwVrelProxyBase& other) noexcept;
  CkwVrelProxyBase& operator=(const CkwVrelProxyBase& other) noexcept;

  /// Lends the master (null while unlinked).
  bool kwGetMasterObject(CkwServiceObject** ppMaster, CkwErrorInfo* pErrorInfo);

  /// Makes `pMaster` the master at once, replacing any previous one without
  /// telling it; null unlinks. A master is then asked for
  /// SkwVrelMasterObject_Link and attached; one without it stays the master,
  /// unattached, and the call fails with code 4.
  bool kwSetMasterObject(CkwServiceObject* pMaster, CkwErrorInfo* pErrorInfo);

  /// Sends event 3 to the master, if any. A master that refuses
  /// SkwVrelMasterObject_Notify fails the call in its own words.
  bool kwNotifyMasterObjectContentChange(CkwErrorInfo* pErrorInfo);

  /// Cuts the proxy off from the host project. Not implemented in the base
  /// (code 8); every concrete proxy accepts it without effect.
  virtual bool kwIsolateFromHostProject(CkwErrorInfo* pErrorInfo);

 protected:
  CkwVrelProxyBase() noexcept;
  /// Sends event 0 to the master, if any; does not free it.
  ~CkwVrelProxyBase() override;

  /// Creates a master of class `*pMasterCLSID` through the object factory and
  /// links to it. Refused (code 18) while a master is set. Whatever the
  /// factory or the master gets wrong, nothing created is kept: the proxy
  /// ends unlinked and the object is freed.
  bool kwLinkToMasterObject(const GUID* pMasterCLSID, CkwErrorInfo* pErrorInfo);

 private:
  CkwServiceObject* m_pMasterObject;
};

// ---------------------------------------------------------------------------
// Declaring a concrete proxy. Every concrete proxy is the same pattern: a
// fixed identity (CLSID, master CLSID, object type number, a stream named
// after the class) and a list of operations in slot order, each with its
// method number. The class body holds the list:
//
//     class KWCORE_API CkwVrelThingProxy : public CkwVrelProxyBase {
//       kwDECLARE_VREL_PROXY(CkwVrelThingProxy)
//       kwVREL_NOT_IMPLEMENTED(1, READ_FRAME_END, kwReadFrameEnd, ())
//       kwVREL_LOAD(2)
//       kwVREL_SAVE(3)
//       kwVREL_IS_EQUAL(4, CkwVrelThingProxy)
//     };
//
// and kwcore's source defines the identity. Each row declares the operation
// as a new virtual function with `CkwErrorInfo* pErrorInfo` appended to its
// parameters, and its method number as kwMETHOD_<NAME>. A class that replaces
// the operations of a concrete parent passes `override` as the last argument.
//
// What a concrete proxy gives besides its rows:
//   - static kwCreateObject: a new, unlinked proxy;
//   - kwLinkToMasterObject(pErrorInfo): links to a new master of the class's
//     master CLSID, as CkwVrelProxyBase::kwLinkToMasterObject;
//   - kwIsolateFromHostProject: succeeds without effect; the link stays;
//   - kwIsKindOf: its object type number, then its map parent's answer;
//     kwQueryService offers nothing of its own;
//   - public copying as the base, protected construction and destruction.

struct kwVrelProxyIdentity;

namespace kwVrelProxyDetail {

/// Code 8, severity 2, with the class's CLSID and `method`; touches nothing else.
KWCORE_API bool NotImplemented(const kwVrelProxyIdentity& identity, std::int32_t method,
                               CkwErrorInfo* pErrorInfo) noexcept;
/// Opens the class's stream and releases it unread: code 27, severity 1,
/// when it cannot be opened; code 2 for a null storage. Not noexcept, as
/// nothing that reaches Nubra is: binding it may throw CkwBindingException.
KWCORE_API bool Load(const kwVrelProxyIdentity& identity, std::int32_t method, IStorage* pStorage,
                     CkwErrorInfo* pErrorInfo);
/// Creates the class's stream holding one memory block of 32 zero bytes:
/// code 26, severity 1, when it cannot be created; code 24 when the block
/// cannot be written; code 2 for a null storage.
KWCORE_API bool Save(const kwVrelProxyIdentity& identity, std::int32_t method, IStorage* pStorage,
                     CkwErrorInfo* pErrorInfo);
/// Any two proxies of one kind are equal: true whenever both pointers are
/// set, code 2 otherwise.
KWCORE_API bool IsEqual(const kwVrelProxyIdentity& identity, std::int32_t method,
                        const void* pOther, bool* pbResult, CkwErrorInfo* pErrorInfo) noexcept;

}  // namespace kwVrelProxyDetail

// clang-format off
#define kwDECLARE_VREL_PROXY(Class)                                  \
  kwDECLARE_OBJECT_MAP()                                             \
  kwDECLARE_SERVICE_MAP()                                            \
                                                                     \
 public:                                                             \
  Class(const Class& other) noexcept = default;                      \
  Class& operator=(const Class& other) noexcept = default;           \
  bool kwLinkToMasterObject(CkwErrorInfo* pErrorInfo);               \
  bool kwIsolateFromHostProject(CkwErrorInfo* pErrorInfo) override;  \
                                                                     \
 protected:                                                          \
  Class() noexcept = default;                                        \
  ~Class() override;                                                 \
  static const ::kwVrelProxyIdentity& kwIdentity() noexcept;         \
                                                                     \
 public:

/// `(parameters)` with the error record appended.
#define kwVREL_PARAMETERS(...) (__VA_ARGS__ __VA_OPT__(,) CkwErrorInfo* pErrorInfo)
// clang-format on

/// An operation that kwcore declares in its place but gives no behaviour.
#define kwVREL_NOT_IMPLEMENTED(number, NAME, operation, parameters, ...)                   \
  enum : std::int32_t { kwMETHOD_##NAME = (number) };                                      \
  virtual bool operation kwVREL_PARAMETERS parameters __VA_ARGS__ {                        \
    return ::kwVrelProxyDetail::NotImplemented(kwIdentity(), kwMETHOD_##NAME, pErrorInfo); \
  }

/// kwLoad(IStorage*, CkwErrorInfo*): succeeds when the class's stream is there.
#define kwVREL_LOAD(number, ...)                                                         \
  enum : std::int32_t { kwMETHOD_LOAD = (number) };                                      \
  virtual bool kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) __VA_ARGS__ {        \
    return ::kwVrelProxyDetail::Load(kwIdentity(), kwMETHOD_LOAD, pStorage, pErrorInfo); \
  }

/// kwSave(IStorage*, CkwErrorInfo*): writes the class's stream.
#define kwVREL_SAVE(number, ...)                                                         \
  enum : std::int32_t { kwMETHOD_SAVE = (number) };                                      \
  virtual bool kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) __VA_ARGS__ {        \
    return ::kwVrelProxyDetail::Save(kwIdentity(), kwMETHOD_SAVE, pStorage, pErrorInfo); \
  }

/// kwIsEqual(Other*, bool*, CkwErrorInfo*): any two proxies of a kind are equal.
#define kwVREL_IS_EQUAL(number, Other, ...)                                                     \
  enum : std::int32_t { kwMETHOD_IS_EQUAL = (number) };                                         \
  virtual bool kwIsEqual(Other* pOther, bool* pbResult, CkwErrorInfo* pErrorInfo) __VA_ARGS__ { \
    return ::kwVrelProxyDetail::IsEqual(kwIdentity(), kwMETHOD_IS_EQUAL, pOther, pbResult,      \
                                        pErrorInfo);                                            \
  }
