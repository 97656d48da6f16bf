#include <kwcore/kwWinApi.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(GlobalMemory, MovableBlockLifecycle) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(GlobalSize(handle), 16u);
  auto* data = static_cast<unsigned char*>(GlobalLock(handle));
  ASSERT_NE(data, nullptr);
  EXPECT_NE(static_cast<void*>(data), handle);  // a movable handle is not the address
  for (int i = 0; i < 16; ++i) EXPECT_EQ(data[i], 0) << i;
  EXPECT_EQ(GlobalHandle(data), handle);
  EXPECT_EQ(GlobalLock(handle), data);  // second lock
  EXPECT_TRUE(GlobalUnlock(handle));    // still locked once
  EXPECT_FALSE(GlobalUnlock(handle));   // now unlocked
  EXPECT_FALSE(GlobalUnlock(handle));   // not locked at all
  EXPECT_EQ(GlobalFree(handle), nullptr);
  // Gone: every call refuses it rather than touching freed memory.
  EXPECT_EQ(GlobalLock(handle), nullptr);
  EXPECT_EQ(GlobalHandle(data), nullptr);
  EXPECT_EQ(GlobalFree(handle), handle);
  EXPECT_EQ(GlobalSize(handle), 0u);
}

TEST(GlobalMemory, FixedBlockHandleIsItsAddress) {
  HGLOBAL handle = GlobalAlloc(GPTR, 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(GlobalLock(handle), handle);
  EXPECT_EQ(GlobalHandle(handle), handle);
  EXPECT_EQ(GlobalFree(handle), nullptr);
}

TEST(GlobalMemory, UnknownValuesAreRefused) {
  int local = 0;
  EXPECT_EQ(GlobalLock(&local), nullptr);
  EXPECT_EQ(GlobalHandle(&local), nullptr);
  EXPECT_EQ(GlobalFree(&local), static_cast<HGLOBAL>(&local));
  EXPECT_EQ(GlobalLock(nullptr), nullptr);
}

TEST(GlobalMemory, ConcurrentAllocationAndRelease) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        HGLOBAL handle = GlobalAlloc(GHND, 8);
        ASSERT_NE(handle, nullptr);
        void* data = GlobalLock(handle);
        ASSERT_EQ(GlobalHandle(data), handle);
        GlobalUnlock(handle);
        ASSERT_EQ(GlobalFree(handle), nullptr);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

std::u16string Convert(const char* text, int count = -1) {
  int needed = MultiByteToWideChar(CP_UTF8, 0, text, count, nullptr, 0);
  if (needed == 0) return u"<refused>";
  std::u16string wide(static_cast<std::size_t>(needed), u'\0');
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, count, wide.data(), needed), needed);
  return wide;
}

TEST(CodePage, Utf8ToUtf16) {
  struct Case {
    const char* text;
    std::u16string expected;
  } cases[] = {
      {"Item0", std::u16string(u"Item0") + u'\0'},
      {"", std::u16string(1, u'\0')},
      {"caf\xC3\xA9", std::u16string(u"caf\u00E9") + u'\0'},
      {"\xE2\x82\xAC", std::u16string(u"\u20AC") + u'\0'},
      {"\xF0\x9F\x8E\xAC", std::u16string(u"\U0001F3AC") + u'\0'},  // surrogate pair
      {"\xC3", u"<refused>"},                                       // truncated
      {"\xC0\xAF", u"<refused>"},                                   // overlong
      {"\xED\xA0\x80", u"<refused>"},                               // encoded surrogate
      {"\xF4\x90\x80\x80", u"<refused>"},                           // beyond U+10FFFF
      {"\xFF", u"<refused>"},
      {"a\x80", u"<refused>"},  // stray continuation byte
  };
  for (const Case& c : cases) EXPECT_EQ(Convert(c.text), c.expected) << c.text;
  EXPECT_EQ(Convert("abc", 2), u"ab");  // an explicit count excludes the NUL
}

TEST(CodePage, RefusesShortBuffersAndBadArguments) {
  char16_t wide[3];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 3), 0);
}

TEST(GUIDCreation, RandomVersionFourAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    GUID guid{};
    ASSERT_EQ(CoCreateGuid(&guid), S_OK);
    EXPECT_EQ(guid.Data3 >> 12, 4);
    EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
    char text[kwGUID_STRING_LENGTH + 1];
    kwGUIDToString(guid, text, sizeof text);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

}  // namespace
