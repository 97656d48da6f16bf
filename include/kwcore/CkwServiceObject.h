// CkwServiceObject: the root of every object the factory creates and the
// service object lists hold, with its object map (which kinds a class is)
// and service map (which interfaces it offers).
//
// A class declares its maps in its body:
//
//     class CMyThing : public CkwServiceObject, public SkwThing_Method {
//       kwDECLARE_OBJECT_MAP()
//       kwDECLARE_SERVICE_MAP()
//      public:
//       ...
//     };
//
// and defines them in its source file, naming the map parent: the class
// asked next for whatever these maps do not hold. It is normally the direct
// base; naming an earlier ancestor skips the maps of the classes between.
//
//     kwBEGIN_OBJECT_MAP(CMyThing, CkwServiceObject, CLSID_MyThing)
//       kwOBJECT_ENTRY(&kwGUID_ObjectType, 7)
//     kwEND_OBJECT_MAP(CMyThing)
//
//     kwBEGIN_SERVICE_MAP(CMyThing, CkwServiceObject)
//       kwSERVICE_ENTRY(&IID_SkwThing_Method, CMyThing, SkwThing_Method)
//     kwEND_SERVICE_MAP(CMyThing)
//
// The operations the maps generate report failures as CkwServiceObject (its
// source GUID and method numbers), whatever the class.
#pragma once

#include <cstdint>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

/// CLSID of CkwServiceObject, also its source GUID in error records:
/// {D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}.
extern KWCORE_API const GUID CLSID_CkwServiceObject;

/// Type GUID of every object-map entry of kwcore's classes:
/// {F3CD65CE-858E-42A9-AF0B-C3B814AA715F}.
extern KWCORE_API const GUID kwGUID_ObjectType;

/// One declared kind of object: a type family and a number within it.
struct kwObjectEntry {
  const GUID* pTypeGUID;
  std::int32_t nTypeNumber;
};

/// One offered service: its identifier and the byte distance from the
/// object's CkwServiceObject part to the part implementing the interface.
struct kwServiceEntry {
  const GUID* pServiceIID;
  std::int32_t nServiceOffset;
};

class KWCORE_API CkwServiceObject {
 public:
  /// Method numbers in error records.
  enum : std::int32_t {
    kwMETHOD_CREATE_OBJECT = 0,
    kwMETHOD_QUERY_SERVICE = 1,
    kwMETHOD_IS_KIND_OF = 2,
    kwMETHOD_IS_RUN_TIME_TYPE_OF = 8,
    kwMETHOD_GET_CLSID = 9,
  };

  /// Stores the interface offered under `pServiceIID` in `*ppService`.
  /// Not offered: `*ppService` null, code 4 severity 1. Null `ppService` or
  /// `pServiceIID`: code 2.
  virtual bool kwQueryService(const GUID* pServiceIID, void** ppService, CkwErrorInfo* pErrorInfo);

  /// Answers in `*pbResult` whether the object is of kind (`pTypeGUID`,
  /// `nTypeNumber`); returns true whenever it answered, yes or no.
  virtual bool kwIsKindOf(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,
                          CkwErrorInfo* pErrorInfo);

  /// Writes the class's CLSID to `*pCLSID`.
  virtual bool kwGetCLSID(GUID* pCLSID, CkwErrorInfo* pErrorInfo);

  // Copying a service object copies nothing: the base carries no state.
  CkwServiceObject(const CkwServiceObject&) noexcept {}
  CkwServiceObject& operator=(const CkwServiceObject&) noexcept { return *this; }

 protected:
  CkwServiceObject() noexcept = default;

  /// Run-time kind test, asked last by kwIsKindOf so that the most derived
  /// override decides. An override tests its own kinds (GUID and number
  /// together) and otherwise calls its base's version.
  virtual bool kwIsRunTimeTypeOf(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,
                                 CkwErrorInfo* pErrorInfo);

  /// Objects are freed through CkwObjectFactory::kwFreeObject or by their
  /// owning list, never by `delete` from outside the class hierarchy.
  virtual ~CkwServiceObject();

  friend class CkwObjectFactory;
};

// ---------------------------------------------------------------------------
// Support for the map macros. Not for direct use.
namespace kwServiceObjectDetail {

enum MatchResult { kFailed, kMatched, kAskParent };

KWCORE_API MatchResult MatchObjectMap(const kwObjectEntry* table, std::int32_t count,
                                      const GUID* pTypeGUID, std::int32_t nTypeNumber,
                                      bool* pbResult, CkwErrorInfo* pErrorInfo) noexcept;
KWCORE_API MatchResult MatchServiceMap(const kwServiceEntry* table, std::int32_t count,
                                       CkwServiceObject* self, const GUID* pServiceIID,
                                       void** ppService, CkwErrorInfo* pErrorInfo) noexcept;
KWCORE_API bool CopyCLSID(const GUID& clsid, GUID* pCLSID, CkwErrorInfo* pErrorInfo) noexcept;
/// Checks the out-pointer (code 2) before anything is allocated.
KWCORE_API bool BeginCreate(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo) noexcept;
/// Stores `object` (possibly null) and reports code 1 when it is null.
KWCORE_API bool EndCreate(CkwServiceObject** ppObject, CkwServiceObject* object,
                          CkwErrorInfo* pErrorInfo) noexcept;

/// True when Base is an unambiguous, non-virtual base of Class (a downcast
/// compiles): then its distance from the start of Class is the same in every
/// object. Written without concepts, so that C++17 hosts can include it.
template <class Class, class Base, class = void>
inline constexpr bool FixedBaseOffset = false;
template <class Class, class Base>
inline constexpr bool FixedBaseOffset<
    Class, Base, std::void_t<decltype(static_cast<Class*>(std::declval<Base*>()))>> =
    std::is_base_of_v<Base, Class>;

/// Byte distance from Class's CkwServiceObject part to its Interface part,
/// computed on a dummy address: only pointer adjustments, no access. A
/// virtual base would be found through the dummy object's vtable, so it is
/// refused at compile time rather than crash the module while it loads.
template <class Class, class Interface>
__attribute__((no_sanitize("undefined"))) std::int32_t ServiceOffset() noexcept {
  static_assert(std::is_base_of_v<Interface, Class>, "the class does not implement the interface");
  static_assert(std::is_base_of_v<CkwServiceObject, Class>, "not a service object");
  static_assert(FixedBaseOffset<Class, Interface> && FixedBaseOffset<Class, CkwServiceObject>,
                "a service map needs the interface and CkwServiceObject as non-virtual, "
                "unambiguous bases");
  Class* object = reinterpret_cast<Class*>(std::uintptr_t{0x10000});
  auto interfacePart = reinterpret_cast<std::intptr_t>(static_cast<Interface*>(object));
  auto basePart = reinterpret_cast<std::intptr_t>(static_cast<CkwServiceObject*>(object));
  return static_cast<std::int32_t>(interfacePart - basePart);
}

}  // namespace kwServiceObjectDetail

// ---------------------------------------------------------------------------
// Declarations, inside the class body. Each leaves the access at public.

#define kwDECLARE_OBJECT_MAP()                                                      \
 protected:                                                                         \
  static const kwObjectEntry m_ofObjectTypeTable_kwDECLARE_OBJECT_MAP[];            \
  static const std::int32_t m_nObjectEntryCount_kwDECLARE_OBJECT_MAP;               \
                                                                                    \
 public:                                                                            \
  bool kwIsKindOf(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,  \
                  CkwErrorInfo* pErrorInfo) override;                               \
  bool kwGetCLSID(GUID* pCLSID, CkwErrorInfo* pErrorInfo) override;                 \
  /** Allocates one object; the caller owns it and frees it through the factory. */ \
  static bool kwCreateObject(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo);

#define kwDECLARE_SERVICE_MAP()                                         \
 protected:                                                             \
  static const kwServiceEntry m_ofServiceTable_kwDECLARE_SERVICE_MAP[]; \
  static const std::int32_t m_nServiceCount_kwDECLARE_SERVICE_MAP;      \
                                                                        \
 public:                                                                \
  bool kwQueryService(const GUID* pServiceIID, void** ppService, CkwErrorInfo* pErrorInfo) override;

// ---------------------------------------------------------------------------
// Definitions, in the class's source file.

#define kwBEGIN_OBJECT_MAP(Class, Parent, clsid)                                                \
  [[maybe_unused]] bool Class::kwIsKindOf(const GUID* pTypeGUID, std::int32_t nTypeNumber,      \
                                          bool* pbResult, CkwErrorInfo* pErrorInfo) {           \
    switch (::kwServiceObjectDetail::MatchObjectMap(                                            \
        m_ofObjectTypeTable_kwDECLARE_OBJECT_MAP, m_nObjectEntryCount_kwDECLARE_OBJECT_MAP,     \
        pTypeGUID, nTypeNumber, pbResult, pErrorInfo)) {                                        \
      case ::kwServiceObjectDetail::kMatched:                                                   \
        return true;                                                                            \
      case ::kwServiceObjectDetail::kFailed:                                                    \
        return false;                                                                           \
      default:                                                                                  \
        return Parent::kwIsKindOf(pTypeGUID, nTypeNumber, pbResult, pErrorInfo);                \
    }                                                                                           \
  }                                                                                             \
  [[maybe_unused]] bool Class::kwGetCLSID(GUID* pCLSID, CkwErrorInfo* pErrorInfo) {             \
    return ::kwServiceObjectDetail::CopyCLSID(clsid, pCLSID, pErrorInfo);                       \
  }                                                                                             \
  [[maybe_unused]] bool Class::kwCreateObject(CkwServiceObject** ppObject,                      \
                                              CkwErrorInfo* pErrorInfo) {                       \
    if (!::kwServiceObjectDetail::BeginCreate(ppObject, pErrorInfo)) return false;              \
    /* A generic lambda, so that an abstract class still compiles (and reports code 1). */      \
    auto allocate = [](auto* tag) -> CkwServiceObject* {                                        \
      using Type = std::remove_pointer_t<decltype(tag)>;                                        \
      if constexpr (std::is_abstract_v<Type>) {                                                 \
        return nullptr;                                                                         \
      } else {                                                                                  \
        return new (std::nothrow) Type;                                                         \
      }                                                                                         \
    };                                                                                          \
    return ::kwServiceObjectDetail::EndCreate(ppObject, allocate(static_cast<Class*>(nullptr)), \
                                              pErrorInfo);                                      \
  }                                                                                             \
  const kwObjectEntry Class::m_ofObjectTypeTable_kwDECLARE_OBJECT_MAP[] = {
#define kwOBJECT_ENTRY(pTypeGUID, nTypeNumber) {(pTypeGUID), (nTypeNumber)},

#define kwEND_OBJECT_MAP(Class)                                        \
  { nullptr, 0 }                                                       \
  }                                                                    \
  ;                                                                    \
  const std::int32_t Class::m_nObjectEntryCount_kwDECLARE_OBJECT_MAP = \
      static_cast<std::int32_t>(std::size(Class::m_ofObjectTypeTable_kwDECLARE_OBJECT_MAP)) - 1;

#define kwBEGIN_SERVICE_MAP(Class, Parent)                                               \
  [[maybe_unused]] bool Class::kwQueryService(const GUID* pServiceIID, void** ppService, \
                                              CkwErrorInfo* pErrorInfo) {                \
    switch (::kwServiceObjectDetail::MatchServiceMap(                                    \
        m_ofServiceTable_kwDECLARE_SERVICE_MAP, m_nServiceCount_kwDECLARE_SERVICE_MAP,   \
        static_cast<CkwServiceObject*>(this), pServiceIID, ppService, pErrorInfo)) {     \
      case ::kwServiceObjectDetail::kMatched:                                            \
        return true;                                                                     \
      case ::kwServiceObjectDetail::kFailed:                                             \
        return false;                                                                    \
      default:                                                                           \
        return Parent::kwQueryService(pServiceIID, ppService, pErrorInfo);               \
    }                                                                                    \
  }                                                                                      \
  const kwServiceEntry Class::m_ofServiceTable_kwDECLARE_SERVICE_MAP[] = {
/// An interface that Class inherits; the offset is computed from the types.
#define kwSERVICE_ENTRY(pServiceIID, Class, Interface) \
  {(pServiceIID), ::kwServiceObjectDetail::ServiceOffset<Class, Interface>()},

/// An entry with an explicit byte distance (0 is the CkwServiceObject part).
#define kwSERVICE_ENTRY_OFFSET(pServiceIID, nOffset) {(pServiceIID), (nOffset)},

#define kwEND_SERVICE_MAP(Class)                                    \
  { nullptr, 0 }                                                    \
  }                                                                 \
  ;                                                                 \
  const std::int32_t Class::m_nServiceCount_kwDECLARE_SERVICE_MAP = \
      static_cast<std::int32_t>(std::size(Class::m_ofServiceTable_kwDECLARE_SERVICE_MAP)) - 1;
