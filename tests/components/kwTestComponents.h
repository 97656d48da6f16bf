// The CLSIDs that the test component modules serve, and the answers of the
// failing module. Shared by the modules and the tests.
#pragma once

#include <cstdint>

#include <kwcore/kwWinTypes.h>

/// The test modules' CLSIDs and sources differ in their first field only.
constexpr GUID kwTestGUID(std::uint32_t n) {
  return GUID{n, 0x7E57, 0x4C0D, {0x9E, 0x57, 0, 0, 0, 0, 0, 1}};
}

// libkwtest_counting: a class and a family of CLSIDs, all counted.
inline constexpr GUID CLSID_kwTestCountedA = kwTestGUID(0x6E1F0A01);
/// Member `n` of a family that one class of the counting module serves; its
/// objects report the CLSID they were created for.
constexpr GUID kwTestFamilyCLSID(std::uint32_t n) {
  return GUID{n, 0xFA11, 0x4E55, {0xB0, 0x0C, 0x5E, 0x7A, 0x00, 0x00, 0x00, 0x00}};
}
constexpr bool kwTestIsFamilyCLSID(const GUID& clsid) {
  constexpr GUID probe = kwTestFamilyCLSID(0);
  if (clsid.Data2 != probe.Data2 || clsid.Data3 != probe.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (clsid.Data4[i] != probe.Data4[i]) return false;
  return true;
}
/// Not served by any module.
inline constexpr GUID CLSID_kwTestUnknown = kwTestGUID(0x6E1F0AFF);
/// Source GUID of the counting module's own reports.
inline constexpr GUID kwTestCountingSource = kwTestGUID(0x6E1F0A00);

// libkwtest_failing: every CLSID fails in its own way.
inline constexpr GUID CLSID_kwTestWarnsWithObject = kwTestGUID(0x7A110003);
inline constexpr GUID CLSID_kwTestErrsWithObject = kwTestGUID(0x7A110004);
/// Leaves severity 0 and stores no object.
inline constexpr GUID CLSID_kwTestSilentNull = kwTestGUID(0x7A110005);
inline constexpr GUID kwTestFailingSource = kwTestGUID(0x7A110000);
inline constexpr std::int32_t kwTestFailingWarningCode = 99;
inline constexpr std::int32_t kwTestFailingErrorCode = 42;
inline constexpr std::int32_t kwTestFailingMethod = 3;

// libkwtest_noentry: loads, exports no gkw_CreateComponent.
inline constexpr GUID CLSID_kwTestNoEntry = kwTestGUID(0x90E47001);

// libkwtest_loadtime: its static initialisation creates an object of its own
// class through the factory, so loading it re-enters the factory.
inline constexpr GUID CLSID_kwTestLoadTimeCreation = kwTestGUID(0x10AD7143);
inline constexpr GUID kwTestLoadTimeSource = kwTestGUID(0x10AD7140);
