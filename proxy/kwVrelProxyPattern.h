// The definition half of the concrete-proxy pattern (the declaration half is
// kwDECLARE_VREL_PROXY and the rows in CkwVrelProxyBase.h). One line per class
// defines its identity and everything that follows from it:
//
//     kwDEFINE_VREL_PROXY(Class, MapParent, "{CLSID}", "{master CLSID}", type number);
//
// gives CLSID_<Class> and CLSID_<Class>Master, the object map (the one type
// number) and the empty service map with MapParent as the class asked next,
// kwCreateObject, the destructor, kwLinkToMasterObject, kwIsolateFromHostProject,
// and the identity that the rows' operations report with. The stream is
// named after the class.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>
#include <kwcore/SkwVrelMasterObject.h>

#include "core/CkwWorkingRecord.h"

struct kwVrelProxyIdentity {
  const GUID& clsid;  // also the source of the class's error records
  const GUID& masterCLSID;
  const WCHAR* streamName;
};

/// The GUID written in registry form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
/// so that a table of identities reads as the CLSIDs are published. Anything
/// else does not compile.
consteval GUID kwGUIDLiteral(const char (&text)[39]) {
  auto digit = [&](int at) -> unsigned {
    char c = text[at];
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    throw "not a hexadecimal digit";
  };
  auto hex = [&](int at, int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 4 | digit(at + i);
    return value;
  };
  if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' ||
      text[37] != '}')
    throw "not in registry form";
  GUID guid{hex(1, 8), static_cast<WORD>(hex(10, 4)), static_cast<WORD>(hex(15, 4)), {}};
  for (int i = 0; i < 8; ++i)
    guid.Data4[i] = static_cast<BYTE>(hex(i < 2 ? 20 + 2 * i : 21 + 2 * i, 2));
  return guid;
}

// clang-format off
#define kwDEFINE_VREL_PROXY(Class, MapParent, clsid, masterCLSID, typeNumber)             \
  constinit const GUID CLSID_##Class = kwGUIDLiteral(clsid);                              \
  constinit const GUID CLSID_##Class##Master = kwGUIDLiteral(masterCLSID);                \
                                                                                          \
  const kwVrelProxyIdentity& Class::kwIdentity() noexcept {                               \
    static constexpr kwVrelProxyIdentity identity{CLSID_##Class, CLSID_##Class##Master,   \
                                                  u"" #Class};                            \
    return identity;                                                                      \
  }                                                                                       \
                                                                                          \
  kwBEGIN_OBJECT_MAP(Class, MapParent, CLSID_##Class)                                     \
    kwOBJECT_ENTRY(&kwGUID_ObjectType, typeNumber)                                        \
  kwEND_OBJECT_MAP(Class)                                                                 \
  kwBEGIN_SERVICE_MAP(Class, MapParent)                                                   \
  kwEND_SERVICE_MAP(Class)                                                                \
                                                                                          \
  Class::~Class() = default;                                                              \
                                                                                          \
  bool Class::kwLinkToMasterObject(CkwErrorInfo* pErrorInfo) {                            \
    return CkwVrelProxyBase::kwLinkToMasterObject(&CLSID_##Class##Master, pErrorInfo);    \
  }                                                                                       \
                                                                                          \
  bool Class::kwIsolateFromHostProject(CkwErrorInfo* pErrorInfo) {                        \
    CkwWorkingRecord record(pErrorInfo, CLSID_##Class, kwMETHOD_NONE);                    \
    return true;                                                                          \
  }                                                                                       \
                                                                                          \
  static_assert(sizeof(Class) == sizeof(CkwVrelProxyBase), "a concrete proxy adds no field")
// clang-format on
