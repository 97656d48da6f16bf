// C++ conveniences over kwcore's fixed API. Header-only: nothing here is
// exported, and the API's own types and calling conventions stay as they are.
// Every helper calls the API and adds no behaviour of its own: a failure is
// the API's, reported in the record passed in exactly as without the helper.
//
//   CkwErrorInfo error;
//   CkwObjectPtr<> thing = kwMakeObject(CLSID_Thing, &error);  // freed by the factory
//   if (!thing) std::fprintf(stderr, "%s\n", kwErrorText(error).c_str());
//   auto* method = kwQueryService<SkwThing_Method>(*thing, IID_SkwThing_Method, &error);
//   kwSetObjectName(*thing, "first", &error);
//   std::string name = kwObjectName(*thing);
//
// Helpers that return std::string may throw std::bad_alloc, as std::string
// does; the others do not throw.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObject.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/CkwServiceObjectList.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinApi.h>
#include <kwcore/kwWinTypes.h>

/// Owns one reference to a COM-shaped object (IStorage, IStream,
/// IEnumSTATSTG, or any interface with Release) and releases it when
/// destroyed, so that every path out of a function lets go of what it opened.
/// It never calls AddRef: a pointer handed to it, by the constructor, reset()
/// or put(), brings the reference it owns from then on. Move-only, since a
/// copy would need an AddRef the reader cannot see. Not thread-safe: one
/// CkwComPtr belongs to one thread at a time, like any plain variable.
///
///   CkwComPtr<IStorage> root;
///   if (FAILED(StgOpenStorage(path, nullptr, STGM_READ, nullptr, 0, root.put()))) ...
///   CkwComPtr<IStream> stream;
///   root->OpenStream(u"Data", nullptr, STGM_READ, 0, stream.put());
template <class T>
class CkwComPtr {
 public:
  CkwComPtr() noexcept = default;
  /// Takes over the reference that `pointer` (may be null) carries.
  explicit CkwComPtr(T* pointer) noexcept : m_pointer(pointer) {}
  CkwComPtr(CkwComPtr&& other) noexcept : m_pointer(other.release()) {}
  CkwComPtr& operator=(CkwComPtr&& other) noexcept {
    reset(other.release());
    return *this;
  }
  CkwComPtr(const CkwComPtr&) = delete;
  CkwComPtr& operator=(const CkwComPtr&) = delete;
  ~CkwComPtr() { reset(); }

  /// The object, still owned here; null when empty.
  T* get() const noexcept { return m_pointer; }
  T* operator->() const noexcept { return m_pointer; }
  explicit operator bool() const noexcept { return m_pointer != nullptr; }

  /// Hands the reference to the caller, who must Release it, and leaves this
  /// empty.
  [[nodiscard]] T* release() noexcept { return std::exchange(m_pointer, nullptr); }
  /// Releases the reference held, if any, and takes over `pointer`'s.
  void reset(T* pointer = nullptr) noexcept {
    T* old = std::exchange(m_pointer, pointer);
    if (old != nullptr) old->Release();
  }
  /// For an out-parameter (`IStorage**`): releases the reference held and
  /// returns the address of the now null slot, which the callee fills with a
  /// new reference or leaves null.
  T** put() noexcept {
    reset();
    return &m_pointer;
  }

 private:
  T* m_pointer = nullptr;
};

// ---------------------------------------------------------------------------
// Records of a module's own operations.

/// The caller's record (which may be null) as a module's own operation uses
/// it, by kwcore's convention: stamped on entry with the module's source and
/// no severity, filled by Fail with the general category, severity error,
/// the method and the line. `source` must outlive the object (a constant).
///
///   bool CThing::SetSpeed(int speed, CkwErrorInfo* pErrorInfo) {
///     CkwModuleRecord record(pErrorInfo, kThingSource, kMethodSetSpeed);
///     if (speed < 0) return record.Fail(kwERROR_OUT_OF_RANGE);
///     ...
class CkwModuleRecord {
 public:
  CkwModuleRecord(CkwErrorInfo* pErrorInfo, const GUID& source, std::int32_t method) noexcept
      : m_pErrorInfo(pErrorInfo), m_pSource(&source), m_nMethod(method) {
    if (m_pErrorInfo == nullptr) return;
    m_pErrorInfo->m_pSource = m_pSource;
    m_pErrorInfo->m_nSeverity = kwSEVERITY_NONE;
  }
  /// Fills the record with `code`; returns false, for `return record.Fail(...)`.
  bool Fail(std::int32_t code, std::int32_t line = __builtin_LINE()) noexcept {
    if (m_pErrorInfo == nullptr) return false;
    m_pErrorInfo->m_pCategory = &kwGUID_ErrorCategoryGeneral;
    m_pErrorInfo->m_nErrorCode = code;
    m_pErrorInfo->m_nSeverity = kwSEVERITY_ERROR;
    m_pErrorInfo->m_pSource = m_pSource;
    m_pErrorInfo->m_nMethod = m_nMethod;
    m_pErrorInfo->m_nLine = line;
    return false;
  }

 private:
  CkwErrorInfo* m_pErrorInfo;
  const GUID* m_pSource;
  std::int32_t m_nMethod;
};

// ---------------------------------------------------------------------------
// Objects from the factory.

/// Frees a service object through CkwObjectFactory::kwFreeObject, so that the
/// module that made it also frees its memory: the deleter of CkwObjectPtr.
/// Freeing a non-null object cannot fail, so there is nothing to report.
struct CkwObjectDeleter {
  template <class T>
  void operator()(T* object) const noexcept {
    static_assert(std::is_base_of_v<CkwServiceObject, T>, "only service objects are freed here");
    CkwServiceObject* base = object;
    CkwObjectFactory::kwFreeObject(&base, nullptr);
  }
};

/// Owns one service object and frees it through the factory.
template <class T = CkwServiceObject>
using CkwObjectPtr = std::unique_ptr<T, CkwObjectDeleter>;

/// Creates an object of class `clsid` through CkwObjectFactory::kwCreateObject
/// and owns it. Null on failure, with the factory's report in `*pErrorInfo`;
/// an object that a failing component stored anyway is freed. With T other
/// than CkwServiceObject the object must be a T (dynamic_cast, so T must be a
/// class whose type information the module shares, such as kwcore's own);
/// one that is not is freed and reported as a service the object does not
/// offer: code 4, severity 1, source CkwServiceObject, method
/// kwMETHOD_QUERY_SERVICE.
template <class T = CkwServiceObject>
CkwObjectPtr<T> kwMakeObject(const CLSID& clsid, CkwErrorInfo* pErrorInfo) {
  static_assert(std::is_base_of_v<CkwServiceObject, T>, "the factory makes service objects");
  CkwServiceObject* created = nullptr;
  const bool ok = CkwObjectFactory::kwCreateObject(&clsid, &created, pErrorInfo);
  CkwObjectPtr<> object(created);
  if (!ok) return nullptr;
  if constexpr (std::is_same_v<T, CkwServiceObject>) {
    return object;
  } else {
    T* typed = dynamic_cast<T*>(object.get());
    if (typed == nullptr) {
      if (pErrorInfo != nullptr) {
        pErrorInfo->m_pCategory = &kwGUID_ErrorCategoryGeneral;
        pErrorInfo->m_nErrorCode = kwERROR_SERVICE_NOT_OFFERED;
        pErrorInfo->m_nSeverity = kwSEVERITY_WARNING;
        pErrorInfo->m_pSource = &CLSID_CkwServiceObject;
        pErrorInfo->m_nMethod = CkwServiceObject::kwMETHOD_QUERY_SERVICE;
        pErrorInfo->m_nLine = __LINE__;
      }
      return nullptr;
    }
    (void)object.release();
    return CkwObjectPtr<T>(typed);
  }
}

/// The interface that `object` offers under `iid`, typed as T (the caller
/// names the interface that belongs to the IID), or null with the object's
/// report: code 4 severity 1 when it is not offered. The interface lives as
/// long as the object; nothing is counted.
template <class T>
T* kwQueryService(CkwServiceObject& object, const IID& iid, CkwErrorInfo* pErrorInfo = nullptr) {
  void* service = nullptr;
  if (!object.kwQueryService(&iid, &service, pErrorInfo)) return nullptr;
  return static_cast<T*>(service);
}

// ---------------------------------------------------------------------------
// Object names.

/// The name of a persistent object as a std::string; empty when it has none
/// or on failure (the record says which). The copy the object hands out in
/// global memory is freed here. May throw std::bad_alloc, like any
/// std::string.
inline std::string kwObjectName(SkwPersistentObject_Method& object,
                                CkwErrorInfo* pErrorInfo = nullptr) {
  char* name = nullptr;
  if (!object.kwGetObjectName(&name, pErrorInfo) || name == nullptr) return {};
  struct Copy {
    char* text;
    ~Copy() {
      HGLOBAL handle = GlobalHandle(text);
      GlobalUnlock(handle);
      GlobalFree(handle);
    }
  } copy{name};
  return std::string(name);
}

/// The name of a service object that offers SkwPersistentObject_Method;
/// empty, with code 4 severity 1, for one that does not. The object is only
/// asked, not changed (its query is not declared const, hence the cast).
inline std::string kwObjectName(const CkwServiceObject& object,
                                CkwErrorInfo* pErrorInfo = nullptr) {
  auto* persistent = kwQueryService<SkwPersistentObject_Method>(
      const_cast<CkwServiceObject&>(object), IID_SkwPersistentObject_Method, pErrorInfo);
  return persistent != nullptr ? kwObjectName(*persistent, pErrorInfo) : std::string();
}

/// Sets the name from any text: a literal, a std::string, a view (up to its
/// first NUL). A name longer than CkwPersistentObject::kMaxNameLength bytes
/// is refused by the object as ever (code 10); nothing is allocated here.
inline bool kwSetObjectName(SkwPersistentObject_Method& object, std::string_view name,
                            CkwErrorInfo* pErrorInfo = nullptr) noexcept {
  // One byte more than the longest name keeps a too long one too long.
  char buffer[CkwPersistentObject::kMaxNameLength + 2] = {};
  name.copy(buffer, sizeof buffer - 1);
  return object.kwSetObjectName(buffer, pErrorInfo);
}

/// The same for a service object that offers SkwPersistentObject_Method.
inline bool kwSetObjectName(CkwServiceObject& object, std::string_view name,
                            CkwErrorInfo* pErrorInfo = nullptr) noexcept {
  auto* persistent = kwQueryService<SkwPersistentObject_Method>(
      object, IID_SkwPersistentObject_Method, pErrorInfo);
  return persistent != nullptr && kwSetObjectName(*persistent, name, pErrorInfo);
}

// ---------------------------------------------------------------------------
// Text: GUIDs, HRESULTs and error records.

/// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case: the form the
/// registry and kwcore's messages use. (Registration files write it without
/// the braces.)
inline std::string kwGuidText(const GUID& guid) {
  char text[kwGUID_STRING_LENGTH + 1];
  kwGUIDToString(guid, text, sizeof text);
  return std::string(text, kwGUID_STRING_LENGTH);
}

/// Parses a GUID written with or without its braces, hexadecimal digits of
/// either case, nothing before or after. On failure `*guid` is untouched.
inline bool kwGuidFromText(std::string_view text, GUID* guid) noexcept {
  char braced[kwGUID_STRING_LENGTH + 1] = {};
  if (text.size() == kwGUID_STRING_LENGTH) {
    text.copy(braced, kwGUID_STRING_LENGTH);
  } else if (text.size() == kwGUID_STRING_LENGTH - 2 && text.front() != '{') {
    braced[0] = '{';
    text.copy(braced + 1, kwGUID_STRING_LENGTH - 2);
    braced[kwGUID_STRING_LENGTH - 1] = '}';
  } else {
    return false;
  }
  // An embedded NUL would end the text early; the parser then refuses it.
  return kwGUIDFromString(braced, guid);
}

namespace kwCppDetail {

struct NamedValue {
  std::int32_t value;
  const char* name;
};

#define kwCPP_NAMED(name) \
  { static_cast<std::int32_t>(name), #name }
inline constexpr NamedValue kResults[] = {
    kwCPP_NAMED(S_OK),
    kwCPP_NAMED(S_FALSE),
    kwCPP_NAMED(E_NOTIMPL),
    kwCPP_NAMED(E_NOINTERFACE),
    kwCPP_NAMED(E_POINTER),
    kwCPP_NAMED(E_ABORT),
    kwCPP_NAMED(E_FAIL),
    kwCPP_NAMED(E_UNEXPECTED),
    kwCPP_NAMED(E_ACCESSDENIED),
    kwCPP_NAMED(E_HANDLE),
    kwCPP_NAMED(E_OUTOFMEMORY),
    kwCPP_NAMED(E_INVALIDARG),
    kwCPP_NAMED(STG_E_INVALIDFUNCTION),
    kwCPP_NAMED(STG_E_FILENOTFOUND),
    kwCPP_NAMED(STG_E_PATHNOTFOUND),
    kwCPP_NAMED(STG_E_TOOMANYOPENFILES),
    kwCPP_NAMED(STG_E_ACCESSDENIED),
    kwCPP_NAMED(STG_E_INVALIDHANDLE),
    kwCPP_NAMED(STG_E_INSUFFICIENTMEMORY),
    kwCPP_NAMED(STG_E_INVALIDPOINTER),
    kwCPP_NAMED(STG_E_NOMOREFILES),
    kwCPP_NAMED(STG_E_DISKISWRITEPROTECTED),
    kwCPP_NAMED(STG_E_SEEKERROR),
    kwCPP_NAMED(STG_E_WRITEFAULT),
    kwCPP_NAMED(STG_E_READFAULT),
    kwCPP_NAMED(STG_E_SHAREVIOLATION),
    kwCPP_NAMED(STG_E_LOCKVIOLATION),
    kwCPP_NAMED(STG_E_FILEALREADYEXISTS),
    kwCPP_NAMED(STG_E_INVALIDPARAMETER),
    kwCPP_NAMED(STG_E_MEDIUMFULL),
    kwCPP_NAMED(STG_E_PROPSETMISMATCHED),
    kwCPP_NAMED(STG_E_ABNORMALAPIEXIT),
    kwCPP_NAMED(STG_E_INVALIDHEADER),
    kwCPP_NAMED(STG_E_INVALIDNAME),
    kwCPP_NAMED(STG_E_UNKNOWN),
    kwCPP_NAMED(STG_E_UNIMPLEMENTEDFUNCTION),
    kwCPP_NAMED(STG_E_INVALIDFLAG),
    kwCPP_NAMED(STG_E_INUSE),
    kwCPP_NAMED(STG_E_NOTCURRENT),
    kwCPP_NAMED(STG_E_REVERTED),
    kwCPP_NAMED(STG_E_CANTSAVE),
    kwCPP_NAMED(STG_E_OLDFORMAT),
    kwCPP_NAMED(STG_E_OLDDLL),
    kwCPP_NAMED(STG_E_SHAREREQUIRED),
    kwCPP_NAMED(STG_E_NOTFILEBASEDSTORAGE),
    kwCPP_NAMED(STG_E_EXTANTMARSHALLINGS),
    kwCPP_NAMED(STG_E_DOCFILECORRUPT),
    kwCPP_NAMED(STG_E_BADBASEADDRESS),
    kwCPP_NAMED(STG_E_DOCFILETOOLARGE),
    kwCPP_NAMED(STG_E_NOTSIMPLEFORMAT),
    kwCPP_NAMED(STG_E_INCOMPLETE),
    kwCPP_NAMED(STG_E_TERMINATED),
    kwCPP_NAMED(STG_S_CONVERTED),
    kwCPP_NAMED(STG_S_BLOCK),
    kwCPP_NAMED(STG_S_RETRYNOW),
    kwCPP_NAMED(STG_S_MONITORING),
    kwCPP_NAMED(STG_S_MULTIPLEOPENS),
    kwCPP_NAMED(STG_S_CONSOLIDATIONFAILED),
    kwCPP_NAMED(STG_S_CANNOTCONSOLIDATE),
};

inline constexpr NamedValue kErrorCodes[] = {
    kwCPP_NAMED(kwERROR_OUT_OF_MEMORY),
    kwCPP_NAMED(kwERROR_NULL_POINTER),
    kwCPP_NAMED(kwERROR_INVALID_POSITION),
    kwCPP_NAMED(kwERROR_SERVICE_NOT_OFFERED),
    kwCPP_NAMED(kwERROR_PLATFORM_CALL_FAILED),
    kwCPP_NAMED(kwERROR_COMPONENT_NOT_AVAILABLE),
    kwCPP_NAMED(kwERROR_NOT_IMPLEMENTED),
    kwCPP_NAMED(kwERROR_OUT_OF_RANGE),
    kwCPP_NAMED(kwERROR_NOT_FOUND),
    kwCPP_NAMED(kwERROR_ALREADY_PRESENT),
    kwCPP_NAMED(kwERROR_CLEAR_SAVEDATA_FAILED),
    kwCPP_NAMED(kwERROR_COPY_SAVEDATA_FAILED),
    kwCPP_NAMED(kwERROR_STREAM_WRITE_FAILED),
    kwCPP_NAMED(kwERROR_STREAM_READ_FAILED),
    kwCPP_NAMED(kwERROR_CREATE_ELEMENT_FAILED),
    kwCPP_NAMED(kwERROR_OPEN_ELEMENT_FAILED),
};
#undef kwCPP_NAMED

template <std::size_t N>
constexpr const char* NameOf(const NamedValue (&table)[N], std::int32_t value) noexcept {
  for (const NamedValue& entry : table)
    if (entry.value == value) return entry.name;
  return nullptr;
}

inline std::string Hex(std::int32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace kwCppDetail

/// The name of one of kwcore's general codes ("kwERROR_NOT_FOUND"), or null.
constexpr const char* kwErrorCodeName(std::int32_t code) noexcept {
  return kwCppDetail::NameOf(kwCppDetail::kErrorCodes, code);
}

/// "STG_E_FILENOTFOUND (0x80030002)" for the results kwStorage.h and
/// kwWinTypes.h name, "0x80030777" for any other.
inline std::string kwHResultText(HRESULT hr) {
  const char* name = kwCppDetail::NameOf(kwCppDetail::kResults, hr);
  std::string hex = kwCppDetail::Hex(hr);
  return name != nullptr ? std::string(name) + " (" + hex + ")" : hex;
}

/// One line for a record: "code 7 kwERROR_COMPONENT_NOT_AVAILABLE, severity
/// 1 (warning), method 1, source {A89D94E3-84BD-4325-BBB6-A0C22FB4C693}
/// CkwObjectFactory, line 212". Codes are named only in kwcore's general
/// category; another category is shown as its GUID. A record of severity 0
/// reads "no error": its other fields may be stale from an earlier failure.
inline std::string kwErrorText(const CkwErrorInfo& error) {
  if (error.m_nSeverity == kwSEVERITY_NONE) return "no error";
  std::string text;
  const bool general =
      error.m_pCategory == nullptr || *error.m_pCategory == kwGUID_ErrorCategoryGeneral;
  if (!general) text += "category " + kwGuidText(*error.m_pCategory) + ", ";
  text += "code " + std::to_string(error.m_nErrorCode);
  if (const char* name = general ? kwErrorCodeName(error.m_nErrorCode) : nullptr)
    text += std::string(" ") + name;
  text += ", severity " + std::to_string(error.m_nSeverity);
  if (error.m_nSeverity == kwSEVERITY_WARNING) text += " (warning)";
  if (error.m_nSeverity == kwSEVERITY_ERROR) text += " (error)";
  text += ", method " + std::to_string(error.m_nMethod);
  if (error.m_pSource != nullptr) {
    const GUID& source = *error.m_pSource;
    text += ", source " + kwGuidText(source);
    const struct {
      const GUID& guid;
      const char* name;
    } known[] = {
        {CLSID_CkwObjectFactory, "CkwObjectFactory"},
        {CLSID_CkwServiceObject, "CkwServiceObject"},
        {kwGUID_SourceServiceObjectList, "CkwServiceObjectList"},
        {kwGUID_SourcePersistentObject, "CkwPersistentObject"},
        {kwGUID_SourcePersistentObjectList, "CkwPersistentObjectList"},
    };
    for (const auto& entry : known)
      if (entry.guid == source) text += std::string(" ") + entry.name;
  }
  text += ", line " + std::to_string(error.m_nLine);
  return text;
}
