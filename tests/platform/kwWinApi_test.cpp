#include <kwcore/kwWinApi.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(GlobalMemory, MovableAndFixedBlocksAndValuesThatAreNoBlock) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(GlobalSize(handle), 16u);
  auto* data = static_cast<unsigned char*>(GlobalLock(handle));
  ASSERT_NE(data, nullptr);
  EXPECT_NE(static_cast<void*>(data), handle);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 16), std::string(16, '\0'));
  EXPECT_EQ(GlobalHandle(data), handle);
  EXPECT_EQ(GlobalLock(handle), data);
  EXPECT_TRUE(GlobalUnlock(handle));   // still locked once
  EXPECT_FALSE(GlobalUnlock(handle));  // now unlocked
  EXPECT_FALSE(GlobalUnlock(handle));  // not locked at all
  EXPECT_EQ(GlobalFree(handle), nullptr);
  // Freed: refused rather than touched.
  EXPECT_EQ(GlobalLock(handle), nullptr);
  EXPECT_EQ(GlobalHandle(data), nullptr);
  EXPECT_EQ(GlobalFree(handle), handle);
  EXPECT_EQ(GlobalSize(handle), 0u);

  HGLOBAL fixed = GlobalAlloc(GPTR, 0);
  EXPECT_EQ(GlobalLock(fixed), fixed);
  EXPECT_FALSE(GlobalUnlock(fixed));  // fixed blocks keep no lock count
  EXPECT_EQ(GlobalHandle(fixed), fixed);
  EXPECT_EQ(GlobalFree(fixed), nullptr);
  int local = 0;
  EXPECT_EQ(GlobalLock(&local), nullptr);
  EXPECT_EQ(GlobalHandle(&local), nullptr);
}

TEST(GlobalMemory, ConcurrentAllocationAndRelease) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        HGLOBAL handle = GlobalAlloc(GHND, 8);
        ASSERT_EQ(GlobalHandle(GlobalLock(handle)), handle);
        GlobalUnlock(handle);
        ASSERT_EQ(GlobalFree(handle), nullptr);
      }
    });
  for (auto& thread : threads) thread.join();
}

// The UTF-16 form of `text` without its NUL, or "<refused>".
std::u16string Convert(const char* text) {
  int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::u16string wide(needed, u'?');
  if (needed == 0 || MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), needed) != needed)
    return u"<refused>";
  return wide.back() == u'\0' ? wide.substr(0, needed - 1) : u"<no NUL>";
}

TEST(CodePage, Utf8ToUtf16RefusesIllFormedInputAndShortBuffers) {
  const std::pair<const char*, std::u16string> cases[] = {
      {"Item0", u"Item0"},
      {"", u""},
      {"caf\xC3\xA9", u"caf\u00E9"},
      {"\xDF\xBF\xE0\xA0\x80", u"\u07FF\u0800"},
      {"\xEF\xBF\xBF\xF0\x90\x80\x80", u"\uFFFF\U00010000"},
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", u"\uD7FF\uE000\U0010FFFF"},
      {"\xC3", u"<refused>"},                  // truncated
      {"\xC1\xBF", u"<refused>"},              // overlong
      {"\xE0\x9F\xBF", u"<refused>"},          // overlong
      {"\xF0\x8F\xBF\xBF", u"<refused>"},      // overlong
      {"\xED\xA0\x80", u"<refused>"},          // an encoded surrogate
      {"\xED\xBF\xBF", u"<refused>"},          // an encoded surrogate
      {"\xF4\x90\x80\x80", u"<refused>"},      // beyond U+10FFFF
      {"\xF8\x88\x80\x80\x80", u"<refused>"},  // no such lead byte
      {"a\x80", u"<refused>"},                 // a stray continuation byte
      {"\xC3(", u"<refused>"},                 // a lead byte without continuation
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Convert(text), expected) << text;
  char16_t wide[3];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 2, wide, 3), 2);  // a count excludes the NUL
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", -1, wide, 3), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab\xF0\x9F\x8E\xAC", -1, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 3), 0);
}

TEST(GUIDCreation, RandomVersionFourAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    GUID guid{};
    ASSERT_EQ(CoCreateGuid(&guid), S_OK);
    EXPECT_EQ(guid.Data3 >> 12, 4);
    EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
    seen.insert(std::string(reinterpret_cast<const char*>(&guid), sizeof guid));
  }
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

}  // namespace
