#include <kwcore/kwWinApi.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Pointers = std::vector<const void*>;

TEST(GlobalMemory, MovableAndFixedBlocksAndValuesThatAreNoBlock) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16), fixed = GlobalAlloc(GPTR, 0);
  auto* data = static_cast<char*>(GlobalLock(handle));
  ASSERT_TRUE(handle && data && fixed && data != handle);
  EXPECT_EQ(std::string(data, 16), std::string(16, '\0'));
  EXPECT_EQ(
      (Pointers{GlobalHandle(data), GlobalLock(handle), GlobalLock(fixed), GlobalHandle(fixed)}),
      (Pointers{handle, data, fixed, fixed}));
  // Locks of a movable block nest; a fixed block counts none.
  EXPECT_EQ((std::vector<BOOL>{GlobalUnlock(handle), GlobalUnlock(handle), GlobalUnlock(handle),
                               GlobalUnlock(fixed)}),
            (std::vector<BOOL>{TRUE, FALSE, FALSE, FALSE}));
  EXPECT_EQ(GlobalSize(handle), 16u);
  EXPECT_EQ((Pointers{GlobalFree(handle), GlobalFree(fixed)}), (Pointers{nullptr, nullptr}));
  // Freed blocks and values that never were blocks are refused, not touched.
  int local = 0;
  EXPECT_EQ((Pointers{GlobalLock(handle), GlobalHandle(data), GlobalFree(handle),
                      GlobalLock(&local), GlobalHandle(&local)}),
            (Pointers{nullptr, nullptr, handle, nullptr, nullptr}));
  EXPECT_EQ(GlobalSize(handle), 0u);
}

TEST(GlobalMemory, ConcurrentAllocationAndRelease) {
  auto churn = [] {
    for (int i = 0; i < 2000; ++i) {
      HGLOBAL handle = GlobalAlloc(GHND, 8);
      ASSERT_EQ(GlobalHandle(GlobalLock(handle)), handle);
      ASSERT_TRUE(!GlobalUnlock(handle) && GlobalFree(handle) == nullptr);
    }
  };
  std::thread a(churn), b(churn), c(churn), d(churn);
  a.join(), b.join(), c.join(), d.join();
}

TEST(CodePage, Utf8ToUtf16RefusesIllFormedInputAndShortBuffers) {
  const char* text =
      "az\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F"
      "\xBF\xBF";
  const std::u16string expected = u"az\u0080\u07FF\u0800\uD7FF\uE000\uFFFF\U00010000\U0010FFFF";
  std::u16string wide(expected.size() + 1, u'?');
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), static_cast<int>(wide.size()));
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), wide.size()),
            static_cast<int>(wide.size()));
  EXPECT_EQ(wide, expected + u'\0');
  // Truncated, overlong, surrogates, beyond U+10FFFF, bad bytes; or longer than the buffer.
  char16_t out[3];
  for (const char* bad :
       {"\xC3", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\x80", "\xC3(", "abc", "ab\xF0\x9F\x8E\xAC"})
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bad, -1, out, 3), 0) << bad;
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "ab", -1, out, 3), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 2, out, 3), 2);  // a count excludes the NUL
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", 1, out, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -2, out, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, out, 3), 0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, out, 3), 0);
}

TEST(GUIDCreation, RandomVersionFour) {
  GUID a{}, b{};
  ASSERT_EQ(CoCreateGuid(&a) | CoCreateGuid(&b), S_OK);
  EXPECT_TRUE(a != b && a.Data3 >> 12 == 4 && (a.Data4[0] & 0xC0) == 0x80);
  EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

// Randomness is drawn in bulk; a fork child must not repeat its parent's.
TEST(GUIDCreation, AForkChildDrawsItsOwn) {
  GUID mine{}, childs{};
  int channel[2];
  ASSERT_EQ(CoCreateGuid(&mine), S_OK);  // the pool now holds more
  ASSERT_EQ(pipe(channel), 0);
  pid_t pid = fork();
  if (pid == 0) {
    GUID guid{};
    _exit(CoCreateGuid(&guid) == S_OK && write(channel[1], &guid, sizeof guid) == sizeof guid ? 0
                                                                                              : 1);
  }
  ASSERT_EQ(read(channel[0], &childs, sizeof childs), static_cast<ssize_t>(sizeof childs));
  int status = 0;
  waitpid(pid, &status, 0);
  close(channel[0]);
  close(channel[1]);
  ASSERT_EQ(CoCreateGuid(&mine), S_OK);
  EXPECT_TRUE(mine != childs);
}

}  // namespace
