// Writing a component module: a shared library that the object factory
// loads to create objects of the classes it serves.
//
// A module lists its classes and exports the creation entry in a few lines,
// in one of its source files:
//
//     #include <kwcore/kwComponent.h>
//
//     kwBEGIN_COMPONENT_MAP(kSourceOfMyModule)
//       kwCOMPONENT_CLASS(CLSID_MyThing, CMyThing)       // CMyThing::kwCreateObject
//       kwCOMPONENT_FUNCTION(CLSID_Other, &MakeOther)    // any function of that shape
//     kwEND_COMPONENT_MAP()
//
// The map defines `extern "C" bool gkw_CreateComponent(const GUID*,
// CkwServiceObject**, CkwErrorInfo*)`, exported even when the module hides
// its other symbols. For a CLSID that the map does not hold the entry reports
// code 7 (component not available), severity 1, with the module's source
// GUID and method kwMETHOD_COMPONENT_CREATE. A module that needs more than a
// table (say, one class serving a whole family of CLSIDs) writes the entry
// itself with kwCOMPONENT_ENTRY and calls kwCreateComponentFromMap for the
// rest. docs/components.md shows how to build and register a module.
//
// The factory judges the entry by the severity it leaves in the record alone
// (0 success, 1 warning, 2 error); the entry's return value is ignored, but
// should agree. The record is never null when the factory calls. The entry
// must not throw: kwcore passes no exception on to its callers and does not
// expect one from a component.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

/// The name under which a component module exports its creation entry.
#define kwCOMPONENT_ENTRY_NAME "gkw_CreateComponent"

/// The creation entry's type.
typedef bool (*kwCreateComponentFunction)(const GUID* pCLSID, CkwServiceObject** ppObject,
                                          CkwErrorInfo* pErrorInfo);

/// The shape of each class's static kwCreateObject.
typedef bool (*kwCreateClassFunction)(CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo);

/// One class that a module serves.
struct kwComponentClass {
  const GUID* pCLSID;  ///< null in the terminating entry
  kwCreateClassFunction pfnCreate;
};

/// Method number of a module's entry in the error records it writes itself.
inline constexpr std::int32_t kwMETHOD_COMPONENT_CREATE = 0;

/// Creates the object of the class `*pCLSID` from `table` (terminated by an
/// entry with a null CLSID). An unknown CLSID reports code 7, severity 1;
/// a null CLSID or out-pointer code 2, severity 2; both with source
/// `*pSource` and method kwMETHOD_COMPONENT_CREATE. A class's own failure
/// (code 1 when memory runs out) is passed on; std::bad_alloc thrown while
/// creating it (say, by its constructor) is code 1 with that source and
/// method.
KWCORE_API bool kwCreateComponentFromMap(const kwComponentClass* table, const GUID* pSource,
                                         const GUID* pCLSID, CkwServiceObject** ppObject,
                                         CkwErrorInfo* pErrorInfo);

/// Opens the definition of the exported creation entry.
#define kwCOMPONENT_ENTRY(pCLSID, ppObject, pErrorInfo)      \
  extern "C" KW_VISIBILITY_DEFAULT bool gkw_CreateComponent( \
      const GUID* pCLSID, CkwServiceObject** ppObject, CkwErrorInfo* pErrorInfo)

#define kwBEGIN_COMPONENT_MAP(source)                                                         \
  static const GUID& kwComponentMapSource() noexcept { return (source); }                     \
  static const kwComponentClass* kwComponentMapTable() noexcept;                              \
  kwCOMPONENT_ENTRY(pCLSID, ppObject, pErrorInfo) {                                           \
    return ::kwCreateComponentFromMap(kwComponentMapTable(), &kwComponentMapSource(), pCLSID, \
                                      ppObject, pErrorInfo);                                  \
  }                                                                                           \
  static const kwComponentClass* kwComponentMapTable() noexcept {                             \
    static const kwComponentClass table[] = {
/// A class with a static kwCreateObject (as kwDECLARE_OBJECT_MAP gives it).
#define kwCOMPONENT_CLASS(clsid, Class) {&(clsid), &Class::kwCreateObject},
/// Any function with kwCreateObject's arguments.
#define kwCOMPONENT_FUNCTION(clsid, pfnCreate) {&(clsid), (pfnCreate)},
#define kwEND_COMPONENT_MAP() \
  { nullptr, nullptr }        \
  }                           \
  ;                           \
  return table;               \
  }
