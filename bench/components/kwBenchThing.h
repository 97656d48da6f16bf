// The class the factory benchmarks create: as small as a service object
// gets, so that the factory's own cost is what the numbers show.
#pragma once

#include <kwcore/CkwServiceObject.h>

inline constexpr GUID CLSID_kwBenchThing = {
    0xBE4C0001, 0x5A5A, 0x4B4B, {0x9C, 0x9C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};

/// Member `n` of a family of CLSIDs that the bench module serves with the
/// same class, for registration files of any size.
constexpr GUID kwBenchFamilyCLSID(std::uint32_t n) {
  return GUID{n, 0xBE4C, 0x4F4F, {0x8D, 0x8D, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5}};
}

class CkwBenchThing : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP() public :
      // Public, so that the baseline can delete it directly.
      ~CkwBenchThing() override = default;
};
