// The profile reader's rules, one case each, and its cache.
#include "platform/kwProfile.h"

#include <string>

#include <gtest/gtest.h>

#include "support/kwTempDir.h"

namespace {

class ProfileReader : public ::testing::Test {
 protected:
  // The value of `key` in `section` of a file holding `text`, or "<none>".
  std::string Read(const std::string& text, const char* section, const char* key,
                   std::size_t size = 1024) {
    kwTest::WriteFile(m_file, text);
    return Lookup(section, key, size);
  }
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

TEST_F(ProfileReader, RulesOneCaseEach) {
  struct Case {
    const char* rule;
    std::string text;
    const char* section;
    const char* key;
    std::string expected;
  };
  const Case cases[] = {
      {"plain pair", "[S]\nk=v\n", "S", "k", "v"},
      {"section name ignores case", "[Component]\nk=v\n", "COMPONENT", "k", "v"},
      {"key ignores case", "[S]\nAbC-12=v\n", "S", "abc-12", "v"},
      {"white space trimmed", "  [ S ]  \n \t k \t=  v w \t\n", "S", "k", "v w"},
      {"double quotes removed", "[S]\nk=\"  v  \"\n", "S", "k", "  v  "},
      {"single quotes removed", "[S]\nk='v'\n", "S", "k", "v"},
      {"one pair only", "[S]\nk=\"\"v\"\"\n", "S", "k", "\"v\""},
      {"unmatched quotes kept", "[S]\nk=\"v'\n", "S", "k", "\"v'"},
      {"lone quote kept", "[S]\nk=\"\n", "S", "k", "\""},
      {"first key wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
      {"first section wins", "[S]\nk=1\n[T]\nk=9\n[s]\nk=2\nj=3\n", "S", "k", "1"},
      {"repeated section not consulted", "[S]\nk=1\n[s]\nj=3\n", "S", "j", "<none>"},
      {"comment", "[S]\n;k=1\nk=2\n", "S", "k", "2"},
      {"indented comment", "[S]\n  ;k=1\n", "S", "k", "<none>"},
      {"semicolon inside a value kept", "[S]\nk=a;b\n", "S", "k", "a;b"},
      {"equals inside a value kept", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"line without equals skipped", "[S]\nnonsense\nk=v\n", "S", "k", "v"},
      {"empty key skipped", "[S]\n=v\nk=w\n", "S", "k", "w"},
      {"unclosed section skipped", "[S]\n[T\nk=v\n", "S", "k", "v"},
      {"pairs before any section ignored", "k=v\n[S]\n", "S", "k", "<none>"},
      {"CRLF", "[S]\r\nk=v\r\nj=w\r\n", "S", "k", "v"},
      {"no final newline", "[S]\nk=v", "S", "k", "v"},
      {"byte-order mark ignored", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
      {"empty value", "[S]\nk=\n", "S", "k", ""},
      {"missing section", "[S]\nk=v\n", "T", "k", "<none>"},
      {"missing key", "[S]\nk=v\n", "S", "j", "<none>"},
      {"line with a NUL skipped", std::string("[S]\nk=v\0x\nj=w\n", 14), "S", "k", "<none>"},
      {"NUL line does not hide the next", std::string("[S]\nk=v\0x\nj=w\n", 14), "S", "j", "w"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    EXPECT_EQ(Read(c.text, c.section, c.key), c.expected);
  }
}

TEST_F(ProfileReader, NoLineLengthLimitJunkSkippedAndTheValueCutToTheBuffer) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  std::string text = junk + "\n[S]\n" + junk + "\n" + std::string(100 * 1024, 'x') +
                     "=junk\nk=" + std::string(100 * 1024, 'v') + "\nj=1\n" + junk;
  EXPECT_EQ(Read(text, "S", "j"), "1");
  EXPECT_EQ(Lookup("S", "k"), std::string(1023, 'v'));
  EXPECT_EQ(Lookup("S", "k", 5), "vvvv");
  EXPECT_EQ(Lookup("S", "k", 1), "");
}

TEST_F(ProfileReader, MissingOrUnreadableFileReadsAsEmpty) {
  char buffer[16];
  std::string missing = m_dir / "missing.ini";
  EXPECT_EQ(kwGetProfileString("S", "k", "dflt", buffer, sizeof buffer, missing.c_str()), 4u);
  EXPECT_STREQ(buffer, "dflt");
  EXPECT_EQ(kwGetProfileString("S", "k", nullptr, buffer, sizeof buffer, m_dir.path().c_str()), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(kwGetProfileString("S", "k", "d", nullptr, 16, missing.c_str()), 0u);
}

TEST_F(ProfileReader, ManyLookupsParseAFileOnceAndAnEditedFileAgain) {
  std::string text = "[S]\n";
  for (int i = 0; i < 1000; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  kwTest::WriteFile(m_file, text);
  auto parses = kwGetProfileParseCount();
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(Lookup("S", ("K" + std::to_string(i)).c_str()), std::to_string(i));
  EXPECT_EQ(kwGetProfileParseCount(), parses + 1);

  // Edited in place (same inode): the size and time differ, so it is read again.
  kwTest::WriteFile(m_file, "[S]\nk0=edited\n");
  EXPECT_EQ(Lookup("S", "k0"), "edited");
  EXPECT_EQ(Lookup("S", "k1"), "<none>");
  EXPECT_EQ(kwGetProfileParseCount(), parses + 2);
}

}  // namespace
