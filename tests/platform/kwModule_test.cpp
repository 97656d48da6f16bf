#include "platform/kwModule.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kwTempDir.h"

namespace {

class Diagnostics : public ::testing::Test {
 protected:
  kwTest::DiagnosticLog m_log;
  std::vector<std::string>& m_messages = m_log.messages;
};

TEST_F(Diagnostics, LoadFailureCarriesTheLoaderText) {
  kwTest::TempDir dir;
  std::string notAModule = dir / "junk.so";
  kwTest::WriteFile(notAModule, "not an ELF file");
  EXPECT_EQ(kwLoadModule(notAModule.c_str()), nullptr);
  ASSERT_EQ(m_messages.size(), 1u);
  EXPECT_NE(m_messages[0].find(notAModule), std::string::npos);
  EXPECT_NE(m_messages[0].find("cannot load module"), std::string::npos);
}

TEST_F(Diagnostics, BareNamesAreRefusedEvenWhenTheLoaderWouldFindThem) {
  EXPECT_EQ(kwLoadModule("libkwplatform.so.0"), nullptr);  // loaded already
  EXPECT_EQ(kwLoadModule("sub\\libkwplatform.so.0"), nullptr);
  EXPECT_EQ(kwLoadModule(nullptr), nullptr);
  ASSERT_EQ(m_messages.size(), 3u);
  EXPECT_NE(m_messages[0].find("must contain a directory"), std::string::npos);
}

TEST_F(Diagnostics, LoadsByPathFindsSymbolsAndSaysWhichOneIsMissing) {
  HMODULE module = kwLoadModule(KWTEST_COMPONENT_DIR "/libkwtest_noentry.so");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(kwLoadModule(KWTEST_COMPONENT_DIR "/libkwtest_noentry.so"), module);
  EXPECT_NE(kwGetModuleSymbol(module, "kwtest_NotAnEntry"), nullptr);
  EXPECT_TRUE(m_messages.empty());
  EXPECT_EQ(kwGetModuleSymbol(module, "gkw_CreateComponent"), nullptr);
  ASSERT_EQ(m_messages.size(), 1u);
  EXPECT_NE(m_messages[0].find("gkw_CreateComponent"), std::string::npos);
}

}  // namespace
