#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwWinTypes.h>

namespace {

const GUID kSample = {0xD637092D, 0x6B0A, 0x4F0F, {0xA6, 0xDA, 0x73, 0xDB, 0xD2, 0x6F, 0xAA, 0xED}};

std::string ToString(const GUID& guid) {
  char text[kwGUID_STRING_LENGTH + 1];
  EXPECT_TRUE(kwGUIDToString(guid, text, sizeof text));
  return text;
}

TEST(GUIDText, FormatsUpperCaseRegistryForm) {
  EXPECT_EQ(ToString(kSample), "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}");
  EXPECT_EQ(ToString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(GUIDText, RefusesSmallOrNullBuffer) {
  char text[kwGUID_STRING_LENGTH] = "untouched";
  EXPECT_FALSE(kwGUIDToString(kSample, text, sizeof text));
  EXPECT_STREQ(text, "untouched");
  EXPECT_FALSE(kwGUIDToString(kSample, nullptr, 100));
}

TEST(GUIDText, ParsesEitherCase) {
  GUID parsed{};
  ASSERT_TRUE(kwGUIDFromString("{d637092d-6b0a-4f0f-a6da-73dbd26faaed}", &parsed));
  EXPECT_EQ(parsed, kSample);
  ASSERT_TRUE(kwGUIDFromString("{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}", &parsed));
  EXPECT_EQ(parsed, kSample);
}

TEST(GUIDText, MalformedTextFailsAndLeavesTheTargetAlone) {
  const char* malformed[] = {
      "",
      "D637092D-6B0A-4F0F-A6DA-73DBD26FAAED",     // no braces
      "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED",    // no closing brace
      "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}x",  // trailing text
      " {D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}",  // leading space
      "{D637092D-6B0A-4F0F-A6DAX73DBD26FAAED}",   // wrong separator
      "{D637092G-6B0A-4F0F-A6DA-73DBD26FAAED}",   // not hexadecimal
      "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAE}",    // one digit short
      "{D637092D6B0A-4F0F-A6DA-73DBD26FAAED0}",   // separator moved
      "{D637092D-6B0A-4F0F-A6-DA73DBD26FAAED}",   // fourth group split wrong
  };
  for (const char* text : malformed) {
    GUID target = kSample;
    EXPECT_FALSE(kwGUIDFromString(text, &target)) << text;
    EXPECT_EQ(target, kSample) << text;
  }
  GUID target{};
  EXPECT_FALSE(kwGUIDFromString(nullptr, &target));
  EXPECT_FALSE(kwGUIDFromString("{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}", nullptr));
}

TEST(GUIDBytes, StorageFormIsLittleEndianFieldByField) {
  BYTE bytes[16];
  kwGUIDToBytes(kSample, bytes);
  const BYTE expected[16] = {0x2D, 0x09, 0x37, 0xD6, 0x0A, 0x6B, 0x0F, 0x4F,
                             0xA6, 0xDA, 0x73, 0xDB, 0xD2, 0x6F, 0xAA, 0xED};
  EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);
  EXPECT_EQ(kwGUIDFromBytes(bytes), kSample);
}

TEST(GUIDCompare, AllSixteenBytesCount) {
  for (int byte = 0; byte < 16; ++byte) {
    BYTE bytes[16];
    kwGUIDToBytes(kSample, bytes);
    bytes[byte] ^= 0x01;
    EXPECT_NE(kwGUIDFromBytes(bytes), kSample) << "byte " << byte;
    EXPECT_FALSE(IsEqualGUID(kwGUIDFromBytes(bytes), kSample));
  }
}

TEST(PlatformTypes, HResultHelpers) {
  EXPECT_TRUE(SUCCEEDED(S_OK));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
  EXPECT_TRUE(FAILED(E_FAIL));
  EXPECT_EQ(static_cast<std::uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
  TimeBase none = TIMEBASE_NONE;
  EXPECT_EQ(static_cast<std::int32_t>(none), -1);
  // Any value the host defines round-trips through the enumeration.
  EXPECT_EQ(static_cast<std::int32_t>(static_cast<TimeBase>(123456)), 123456);
}

}  // namespace
