// GUID text and bytes, path splitting, module loading and profile files.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwWinTypes.h>

#include "platform/kwModule.h"
#include "platform/kwPath.h"
#include "platform/kwProfile.h"
#include "support/kwTempDir.h"

namespace {

const GUID kSample = {0xD637092D, 0x6B0A, 0x4F0F, {0xA6, 0xDA, 0x73, 0xDB, 0xD2, 0x6F, 0xAA, 0xED}};

TEST(GUIDText, RoundTripsInEitherCaseAndRefusesAnythingElse) {
  char text[kwGUID_STRING_LENGTH + 1];
  ASSERT_TRUE(kwGUIDToString(kSample, text, sizeof text));
  EXPECT_STREQ(text, "{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}");
  EXPECT_FALSE(kwGUIDToString(kSample, text, kwGUID_STRING_LENGTH));  // no room for the NUL
  EXPECT_FALSE(kwGUIDToString(kSample, nullptr, 100));
  const std::pair<const char*, bool> cases[] = {
      {"{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}", true},
      {"{d637092d-6b0a-4f0f-a6da-73dbd26faaed}", true},
      {"", false},
      {"D637092D-6B0A-4F0F-A6DA-73DBD26FAAED", false},
      {"{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED", false},
      {"{D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}x", false},
      {" {D637092D-6B0A-4F0F-A6DA-73DBD26FAAED}", false},
      {"{D637092D-6B0A-4F0F-A6DAX73DBD26FAAED}", false},
      {"{D637092G-6B0A-4F0F-A6DA-73DBD26FAAED}", false},
      {"{D637092D-6B0A-4F0F-A6DA-73DBD26FAAEg}", false},
      {"{D637092D-6B0A-4F0F-A6DA-73DBD26FAAE}", false},
      {"{D637092D6B0A-4F0F-A6DA-73DBD26FAAED0}", false},
      {"{D637092D-6B0A-4F0F-A6-DA73DBD26FAAED}", false},
  };
  for (const auto& [input, valid] : cases) {
    GUID parsed = GUID_NULL;
    EXPECT_EQ(kwGUIDFromString(input, &parsed), valid) << input;
    EXPECT_EQ(parsed, valid ? kSample : GUID_NULL) << input;
  }
  GUID parsed;
  EXPECT_FALSE(kwGUIDFromString(nullptr, &parsed));
  EXPECT_FALSE(kwGUIDFromString(text, nullptr));
}

TEST(GUIDBytes, StoredLittleEndianFieldByField) {
  const BYTE expected[16] = {0x2D, 0x09, 0x37, 0xD6, 0x0A, 0x6B, 0x0F, 0x4F,
                             0xA6, 0xDA, 0x73, 0xDB, 0xD2, 0x6F, 0xAA, 0xED};
  BYTE bytes[16];
  kwGUIDToBytes(kSample, bytes);
  EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);
  EXPECT_EQ(kwGUIDFromBytes(expected), kSample);
}

TEST(kwSplitPath, BothSlashesSeparateAndTheLastDotStartsTheExtension) {
  const char* cases[][4] = {
      {"/usr/lib/comp.so", "/usr/lib/", "comp", ".so"},
      {"sub\\comp.dll", "sub\\", "comp", ".dll"},
      {"a/b\\c.tar.gz", "a/b\\", "c.tar", ".gz"},
      {"comp", "", "comp", ""},
      {"dir.d/comp", "dir.d/", "comp", ""},
      {"/dir/.hidden", "/dir/", ".hidden", ""},
      {"/dir/", "/dir/", "", ""},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    kwPathParts parts = kwSplitPath(c[0]);
    EXPECT_EQ(parts.directory, c[1]) << c[0];
    EXPECT_EQ(parts.baseName, c[2]) << c[0];
    EXPECT_EQ(parts.extension, c[3]) << c[0];
  }
}

TEST(kwGetExecutablePath, NamesThisTestAndFailsRatherThanCut) {
  char buffer[4096];
  std::size_t length = kwGetExecutablePath(buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(buffer[0], '/');
  EXPECT_EQ(kwSplitPath(buffer).baseName, "platform_test");
  EXPECT_EQ(kwGetExecutablePath(buffer, length), 0u);  // no room for the NUL
  EXPECT_EQ(kwGetExecutablePath(buffer, length + 1), length);
  EXPECT_EQ(kwGetExecutablePath(nullptr, 10), 0u);
}

TEST(kwLoadModule, LoadsByPathOnlyAndReportsWhatFailed) {
  kwTest::DiagnosticLog log;
  kwTest::TempDir dir;
  kwTest::WriteFile(dir / "junk.so", "not an ELF file");
  // A bare name is refused even when the loader would find it: loaded already.
  for (const char* bare : {"libkwplatform.so.0", "sub\\libkwplatform.so.0", (const char*)nullptr})
    EXPECT_EQ(kwLoadModule(bare), nullptr);
  EXPECT_EQ(kwLoadModule((dir / "junk.so").c_str()), nullptr);
  HMODULE module = kwLoadModule(KWTEST_COMPONENT_DIR "/libkwtest_noentry.so");
  ASSERT_NE(module, nullptr);
  EXPECT_NE(kwGetModuleSymbol(module, "kwtest_NotAnEntry"), nullptr);
  EXPECT_EQ(kwGetModuleSymbol(module, "gkw_CreateComponent"), nullptr);
  const auto& said = log.messages;
  ASSERT_EQ(said.size(), 5u);
  EXPECT_NE(said[2].find("(null)': a module path must contain a directory"), std::string::npos);
  EXPECT_NE(said[3].find("cannot load module '" + dir / "junk.so"), std::string::npos);
  EXPECT_NE(said[4].find("cannot find symbol 'gkw_CreateComponent'"), std::string::npos);
}

class ProfileFile : public ::testing::Test {
 protected:
  // The value of `key` in `section`, read through a buffer of `size`, or "<none>".
  std::string Lookup(const char* section, const char* key, std::size_t size = 1024) {
    std::string buffer(size, '\x7F');
    std::size_t length =
        kwGetProfileString(section, key, "<none>", buffer.data(), size, m_file.c_str());
    EXPECT_EQ(buffer[length], '\0');
    return buffer.substr(0, length);
  }

  kwTest::TempDir m_dir;
  std::string m_file = m_dir / "profile.ini";
};

TEST_F(ProfileFile, ParsingRules) {
  const struct {
    std::string text;
    const char *section, *key, *expected;
  } cases[] = {
      {"[S]\nk=v\n", "S", "k", "v"},
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
      {"[S]\n;k=1\nk=2\n", "S", "k", "2"},
      {"[S]\n  ;k=1\n", "S", "k", "<none>"},
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
      {std::string("[S]\nk=v\0x\nj=w\n", 14), "S", "j", "w"},
  };
  for (const auto& c : cases) {
    kwTest::WriteFile(m_file, c.text);
    EXPECT_EQ(Lookup(c.section, c.key), c.expected) << c.text;
  }
}

TEST_F(ProfileFile, LongLinesJunkAndShortBuffers) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  kwTest::WriteFile(m_file, junk + "\n[S]\n" + std::string(100 * 1024, 'x') +
                                "=junk\nk=" + std::string(100 * 1024, 'v') + "\nj=1\n" + junk);
  EXPECT_EQ(Lookup("S", "j"), "1");
  EXPECT_EQ(Lookup("S", "k"), std::string(1023, 'v'));
  EXPECT_EQ(Lookup("S", "k", 1), "");
  char buffer[16];
  EXPECT_EQ(kwGetProfileString("S", "k", "d", nullptr, 16, m_file.c_str()), 0u);
  EXPECT_EQ(kwGetProfileString("S", "k", nullptr, buffer, 16, m_dir.path().c_str()), 0u);
  EXPECT_EQ(kwGetProfileString("S", "k", "dflt", buffer, 16, (m_dir / "none").c_str()), 4u);
  EXPECT_STREQ(buffer, "dflt");
}

TEST_F(ProfileFile, ParsedOnceUntilEdited) {
  std::string text = "[S]\n";
  for (int i = 0; i < 100; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  kwTest::WriteFile(m_file, text);
  auto parses = kwGetProfileParseCount();
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(Lookup("S", ("K" + std::to_string(i)).c_str()), std::to_string(i));
  EXPECT_EQ(kwGetProfileParseCount(), parses + 1);
  kwTest::WriteFile(m_file, "[S]\nk0=edited\n");  // same inode, new size and time
  EXPECT_EQ(Lookup("S", "k0"), "edited");
  EXPECT_EQ(kwGetProfileParseCount(), parses + 2);
}

}  // namespace
