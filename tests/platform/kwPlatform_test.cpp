#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwWinTypes.h>

#include "platform/kwModule.h"
#include "platform/kwPath.h"
#include "platform/kwProfile.h"
#include "support/kwTempDir.h"

namespace {

TEST(GUIDText, RoundTripsInEitherCaseAndRefusesAnythingElse) {
  const GUID guid = {0xD637092D, 0x6B0A, 0x4F0F, {0xA6, 0xDA, 0x73, 0xDB, 0xD2, 0x6F, 0xAA, 0xED}};
  char text[kwGUID_STRING_LENGTH + 1];
  GUID parsed = GUID_NULL, lower{}, upper{};
  ASSERT_TRUE(kwGUIDToString(guid, text, sizeof text));
  EXPECT_STREQ(text, "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}");
  EXPECT_FALSE(kwGUIDToString(guid, text, kwGUID_STRING_LENGTH) ||  // no room for the NUL
               kwGUIDToString(guid, nullptr, 100));
  for (const char* bad :
       {"", "D637092D-6B0A-4F0F-A6DA-73DBD26FAAED", "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED",
        "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}x", " {D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}",
        "{D637092D-6B0A-4F0F-A6DAX73DBD26FAAED}", "{D637092G-6B0A-4F0F-A6DA-73DBD26FAAED}",
        "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAEg}", "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAE}",
        "{D637092D6B0A-4F0F-A6DA-73DBD26FAAED0}", "{D637092D-6B0A-4F0F-A6-DA73DBD26FAAED}"})
    EXPECT_FALSE(kwGUIDFromString(bad, &parsed)) << bad;
  EXPECT_EQ(parsed, GUID_NULL);  // untouched by any failure
  EXPECT_FALSE(kwGUIDFromString(text, nullptr) || kwGUIDFromString(nullptr, &parsed));
  EXPECT_TRUE(kwGUIDFromString("{d637092d-6b0a-4f0f-a6da-73dbd26faaed}", &lower) &&
              kwGUIDFromString(text, &upper) && lower == guid && upper == guid);
}

// The executable's path and base name are the factory tests' (program path, default file).
TEST(kwPath, SplitsAtEitherSlashAndTheLastDot) {
  for (auto [path, directory, base, extension] :
       {std::tuple("a/b\\c.tar.gz", "a/b\\", "c.tar", ".gz"),
        {"dir.d/comp", "dir.d/", "comp", ""}}) {
    kwPathParts parts = kwSplitPath(path);
    EXPECT_EQ(std::tuple(parts.directory, parts.baseName, parts.extension),
              std::tuple(directory, base, extension));
  }
}

TEST(kwLoadModule, LoadsByPathOnlyAndReportsWhatFailed) {
  kwTest::DiagnosticLog log;
  // A bare name is refused even when the loader would find it: loaded already.
  for (const char* bad : {"libkwplatform.so.0", "sub\\libkwplatform.so.0", (const char*)nullptr,
                          "/nonexistent/libkw.so"})
    EXPECT_EQ(kwLoadModule(bad), nullptr);
  HMODULE module = kwLoadModule(KWTEST_COMPONENT_DIR "/libkwtest_noentry.so");
  ASSERT_NE(module, nullptr);
  EXPECT_NE(kwGetModuleSymbol(module, "kwtest_NotAnEntry"), nullptr);
  EXPECT_EQ(kwGetModuleSymbol(module, "gkw_CreateComponent"), nullptr);
  // One message each. A missing file's wording is checked where the factory passes it on (its
  // diagnostics table); a refusal's and a missing symbol's are left unchecked.
  const auto& said = log.messages;
  ASSERT_EQ(said.size(), 6u);
  EXPECT_EQ(said[4], "module: " KWTEST_COMPONENT_DIR "/libkwtest_noentry.so: loaded");
}

// The value of `key` in `section` of `file`, read through a buffer of `size`, or "<none>".
std::string Lookup(const std::string& file, const char* section, const char* key,
                   std::size_t size = 1024) {
  std::string buffer(size, '\x7F');
  std::size_t length =
      kwGetProfileString(section, key, "<none>", buffer.data(), size, file.c_str());
  EXPECT_EQ(buffer[length], '\0');
  return buffer.substr(0, length);
}

TEST(ProfileFile, ParsingRules) {
  kwTest::TempDir dir;
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  const struct {
    std::string text;
    const char *section, *key, *expected;
  } cases[] = {
      {"[Component]\nAbC-12=v\n", "COMPONENT", "abc-12", "v"},  // names ignore case
      {"  [ S ]  \n \t k \t=  v w \t\n", "S", "k", "v w"},
      {"[S]\nk=\"  v  \"\n", "S", "k", "  v  "},
      {"[S]\nk='v'\n", "S", "k", "v"},
      {"[S]\nk=\"\"v\"\"\n", "S", "k", "\"v\""},  // one pair of quotes only
      {"[S]\nk=\"v'\n", "S", "k", "\"v'"},
      {"[S]\nk=\"\n", "S", "k", "\""},
      {"[S]\nk=1\nK=2\n", "S", "k", "1"},  // the first key wins
      {"[S]\nk=1\n[T]\nk=9\n[s]\nk=2\nj=3\n", "S", "k", "1"},
      {"[S]\nk=1\n[s]\nj=3\n", "S", "j", "<none>"},  // a repeated section is not consulted
      {"[S]\nk=a;b=c\n", "S", "k", "a;b=c"},
      {"[S]\nnonsense\n=v\nk=w\n", "S", "k", "w"},
      {"[S]\n[T\nk=v\n", "S", "k", "v"},
      {"k=v\n[S]\n", "S", "k", "<none>"},
      {"[S]\r\nk=v\r\nj=w\r\n", "S", "k", "v"},
      {"[S]\nk=v", "S", "k", "v"},
      {"\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
      {"[S]\nk=\n", "S", "k", ""},
      {"[S]\nk=v\n", "T", "k", "<none>"},
      {"[S]\nk=v\n", "S", "j", "<none>"},
      {std::string("[S]\nk=v\0x\nj=w\n", 14), "S", "k", "<none>"},  // a line with a NUL
      {junk + "\n[S]\n" + std::string(100 * 1024, 'x') + "=junk\nj=1\n" + junk, "S", "j", "1"},
  };
  for (const auto& c : cases) {
    kwTest::WriteFile(dir / "profile.ini", c.text);
    EXPECT_EQ(Lookup(dir / "profile.ini", c.section, c.key), c.expected) << c.text;
  }
}

TEST(ProfileFile, ValuesAreCutToTheBufferMissingFilesReadAsEmptyAndParsesAreCached) {
  kwTest::TempDir dir;
  const std::string file = dir / "profile.ini";
  kwTest::WriteFile(file, "[S]\nk=" + std::string(2000, 'v') + "\nj=1\n");
  auto parses = kwGetProfileParseCount();  // a value cut at 1023: the registration search's row
  EXPECT_EQ(Lookup(file, "S", "k", 1) + Lookup(file, "s", "J"), "1");
  EXPECT_EQ(kwGetProfileParseCount(), parses + 1);
  kwTest::WriteFile(file, "[S]\nk=edited\n");  // same inode, new size and time
  EXPECT_EQ(Lookup(file, "S", "k"), "edited");
  EXPECT_EQ(kwGetProfileParseCount(), parses + 2);
  char buffer[16];
  EXPECT_EQ(kwGetProfileString("S", "k", "d", nullptr, 16, file.c_str()), 0u);
  EXPECT_EQ(kwGetProfileString("S", "k", nullptr, buffer, 16, dir.path().c_str()), 0u);
  EXPECT_EQ(kwGetProfileString("S", "k", "dflt", buffer, 16, (dir / "none").c_str()), 4u);
  EXPECT_STREQ(buffer, "dflt");
}

}  // namespace
