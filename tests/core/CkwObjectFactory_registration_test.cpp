// The registration file list, the default file, and the search of a CLSID
// through them, with real files in temporary directories.
#include <kwcore/CkwObjectFactory.h>

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwErrorCodes.h>

#include "components/kwTestComponents.h"
#include "core/kwTestHooks.h"
#include "support/kwFactoryProbe.h"
#include "support/kwTempDir.h"

namespace {

using Files = std::vector<std::string>;
using kwTest::Registration;

const GUID CLSID_Listed = {0x11112222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0, 1}};

class RegistrationFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    kwTestHooks::ResetObjectFactory();
    ASSERT_TRUE(kwFactoryProbe::kwGetProgramPath(m_programPath, nullptr));
  }
  void TearDown() override { kwTestHooks::ResetObjectFactory(); }

  static void ExpectFailure(const CkwErrorInfo& error, std::int32_t code, std::int32_t severity,
                            std::int32_t method) {
    EXPECT_EQ(error.m_nErrorCode, code);
    EXPECT_EQ(error.m_nSeverity, severity);
    EXPECT_EQ(error.m_nMethod, method);
    EXPECT_EQ(error.m_pSource, &CLSID_CkwObjectFactory);
    EXPECT_EQ(error.m_pCategory, &kwGUID_ErrorCategoryGeneral);
  }

  std::string Search(const GUID& clsid, CkwErrorInfo* error = nullptr) {
    std::string path;
    kwFactoryProbe::kwSearchComponentPath(&clsid, path, error);
    return path;
  }

  kwTest::TempDir m_dir;
  std::string m_programPath;
};

TEST_F(RegistrationFiles, SetAddRemoveKeepOneOrderedEntryPerName) {
  const char* dir = m_dir.path().c_str();
  ASSERT_TRUE(CkwObjectFactory::kwSetComponentRegistrationFile(dir, "A.ini", nullptr));
  ASSERT_TRUE(CkwObjectFactory::kwAddComponentRegistrationFile(dir, "B.ini", nullptr));
  ASSERT_TRUE(CkwObjectFactory::kwAddComponentRegistrationFile(dir, "C.ini", nullptr));
  const Files cba = {m_dir / "C.ini", m_dir / "B.ini", m_dir / "A.ini"};
  EXPECT_EQ(kwTestHooks::RegistrationFiles(), cba);

  // Already listed, also when the directory is given with its separator.
  std::string withSlash = m_dir.path() + "/";
  EXPECT_TRUE(
      CkwObjectFactory::kwAddComponentRegistrationFile(withSlash.c_str(), "A.ini", nullptr));
  EXPECT_EQ(kwTestHooks::RegistrationFiles(), cba);
  // Names keep their case: a.ini is another file.
  EXPECT_TRUE(CkwObjectFactory::kwAddComponentRegistrationFile(dir, "a.ini", nullptr));
  EXPECT_EQ(kwTestHooks::RegistrationFiles().front(), m_dir / "a.ini");

  EXPECT_TRUE(CkwObjectFactory::kwRemoveComponentRegistrationFile(dir, "a.ini", nullptr));
  EXPECT_TRUE(CkwObjectFactory::kwRemoveComponentRegistrationFile(dir, "absent.ini", nullptr));
  EXPECT_EQ(kwTestHooks::RegistrationFiles(), cba);
  EXPECT_TRUE(CkwObjectFactory::kwRemoveComponentRegistrationFile(dir, "B.ini", nullptr));
  EXPECT_EQ(kwTestHooks::RegistrationFiles(), (Files{m_dir / "C.ini", m_dir / "A.ini"}));

  ASSERT_TRUE(CkwObjectFactory::kwSetComponentRegistrationFile(dir, "D.ini", nullptr));
  EXPECT_EQ(kwTestHooks::RegistrationFiles(), Files{m_dir / "D.ini"});
}

TEST_F(RegistrationFiles, TheFileAddedLastIsSearchedFirst) {
  for (const char* name : {"A", "B", "C"})
    kwTest::WriteFile(m_dir / (std::string(name) + ".ini"),
                      Registration({{CLSID_Listed, std::string("/") + name + "/comp.so"}}));
  const char* dir = m_dir.path().c_str();
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
  CkwObjectFactory::kwSetComponentRegistrationFile(dir, "A.ini", nullptr);
  CkwObjectFactory::kwAddComponentRegistrationFile(dir, "B.ini", nullptr);
  CkwObjectFactory::kwAddComponentRegistrationFile(dir, "C.ini", nullptr);
  EXPECT_EQ(Search(CLSID_Listed), "/C/comp.so");
  CkwObjectFactory::kwRemoveComponentRegistrationFile(dir, "C.ini", nullptr);
  EXPECT_EQ(Search(CLSID_Listed), "/B/comp.so");
  // A listed file without the CLSID, or missing altogether, is skipped.
  kwTest::WriteFile(m_dir / "B.ini", "[COMPONENT]\n");
  CkwObjectFactory::kwAddComponentRegistrationFile(dir, "missing.ini", nullptr);
  EXPECT_EQ(Search(CLSID_Listed), "/A/comp.so");
}

TEST_F(RegistrationFiles, NullFileNameIsCode2AndLeavesTheListAlone) {
  ASSERT_TRUE(
      CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), "A.ini", nullptr));
  CkwErrorInfo error;
  EXPECT_FALSE(CkwObjectFactory::kwSetComponentRegistrationFile("/x", nullptr, &error));
  ExpectFailure(error, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 10);
  EXPECT_FALSE(CkwObjectFactory::kwAddComponentRegistrationFile("/x", nullptr, &error));
  ExpectFailure(error, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 10);
  EXPECT_FALSE(CkwObjectFactory::kwRemoveComponentRegistrationFile("/x", nullptr, &error));
  ExpectFailure(error, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 10);
  EXPECT_EQ(kwTestHooks::RegistrationFiles(), Files{m_dir / "A.ini"});

  std::string untouched = "untouched";
  EXPECT_FALSE(kwFactoryProbe::kwCombineRegistrationFileName("/x", nullptr, untouched, &error));
  EXPECT_EQ(untouched, "untouched");
}

TEST_F(RegistrationFiles, CombineAddsASlashUnlessTheDirectoryEndsInASeparator) {
  struct Case {
    const char* directory;
    std::string expected;
  };
  const Case cases[] = {
      {"/data", "/data/Comp.INI"},           {"/data/", "/data/Comp.INI"},
      {"C:\\Data\\", "C:\\Data\\Comp.INI"},  // kept as written, case included
      {nullptr, m_programPath + "Comp.INI"}, {"", m_programPath + "Comp.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory != nullptr ? c.directory : "(null)");
    std::string combined;
    EXPECT_TRUE(
        kwFactoryProbe::kwCombineRegistrationFileName(c.directory, "Comp.INI", combined, nullptr));
    EXPECT_EQ(combined, c.expected);
  }
}

TEST_F(RegistrationFiles, ProgramPathAndDefaultNameComeFromTheExecutable) {
  char executable[4096];
  ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  ASSERT_GT(length, 0);
  std::string expected(executable, static_cast<std::size_t>(length));
  EXPECT_EQ(m_programPath, expected.substr(0, expected.rfind('/') + 1));
  std::string name;
  EXPECT_TRUE(kwFactoryProbe::kwGetDefaultRegistrationFileName(name, nullptr));
  EXPECT_EQ(name, "kwfactory_test.ini");
}

TEST_F(RegistrationFiles, KeyIsTheRegistryFormWithoutBraces) {
  std::string key;
  EXPECT_TRUE(kwFactoryProbe::kwConvertToString(CLSID_CkwServiceObject, key));
  EXPECT_EQ(key, "D637092D-6B0A-4F0F-A6DA-73DBD26FAAED");
}

TEST_F(RegistrationFiles, DefaultFileBesideTheExecutableIsSearchedLastUnlessSwitchedOff) {
  std::string defaultName;
  ASSERT_TRUE(kwFactoryProbe::kwGetDefaultRegistrationFileName(defaultName, nullptr));
  std::string defaultFile = m_programPath + defaultName;
  // Own CLSID: other test processes may search the same default file.
  const GUID clsid = {0xDEFA0001, 0x1, static_cast<WORD>(getpid()), {0, 1, 2, 3, 4, 5, 6, 7}};
  kwTest::WriteFile(defaultFile, Registration({{clsid, "/default/comp.so"}}));

  CkwErrorInfo error;
  EXPECT_TRUE(CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(true, &error));
  EXPECT_EQ(Search(clsid, &error), "/default/comp.so");  // empty list: only the default file
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);

  // Listed files come first.
  kwTest::WriteFile(m_dir / "listed.ini", Registration({{clsid, "/listed/comp.so"}}));
  CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), "listed.ini", nullptr);
  EXPECT_EQ(Search(clsid), "/listed/comp.so");
  kwTest::WriteFile(m_dir / "listed.ini", "[COMPONENT]\n");
  EXPECT_EQ(Search(clsid), "/default/comp.so");

  EXPECT_TRUE(CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, &error));
  std::string path;
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPath(&clsid, path, &error));
  ExpectFailure(error, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 0);
  unlink(defaultFile.c_str());

  // On, but the default file is missing: not registered, reported by the
  // search in the file.
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(true, nullptr);
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPath(&clsid, path, &error));
  ExpectFailure(error, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 11);
}

TEST_F(RegistrationFiles, SearchInOneFile) {
  std::string file = m_dir / "one.ini";
  const GUID bare = {0xB0000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  const GUID relative = {0xB0000002, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
  const GUID windowsStyle = {0xB0000003, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
  const GUID empty = {0xB0000004, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4}};
  const GUID longValue = {0xB0000005, 0, 0, {0, 0, 0, 0, 0, 0, 0, 5}};
  std::string tooLong = "/" + std::string(2000, 'x');
  kwTest::WriteFile(file, Registration({{bare, "comp.so"},
                                        {relative, "sub/comp.so"},
                                        {windowsStyle, "sub\\comp.so"},
                                        {empty, ""},
                                        {longValue, tooLong}}));
  struct Case {
    const char* name;
    GUID clsid;
    std::string expected;
  };
  const Case found[] = {
      {"bare name beside the executable", bare, m_programPath + "comp.so"},
      {"directory used as written", relative, "sub/comp.so"},
      {"backslash is a separator too", windowsStyle, "sub\\comp.so"},
      {"value cut at 1023 characters", longValue, tooLong.substr(0, 1023)},
  };
  for (const Case& c : found) {
    SCOPED_TRACE(c.name);
    std::string path;
    CkwErrorInfo error;
    EXPECT_TRUE(kwFactoryProbe::kwSearchComponentPathWithinRegistrationFile(file.c_str(), &c.clsid,
                                                                            path, &error));
    EXPECT_EQ(path, c.expected);
  }

  constexpr std::int32_t kMethod = 11;
  std::string path;
  CkwErrorInfo error;
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPathWithinRegistrationFile(file.c_str(), &empty,
                                                                           path, &error));
  ExpectFailure(error, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, kMethod);
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPathWithinRegistrationFile(
      file.c_str(), &CLSID_kwTestUnknown, path, &error));
  ExpectFailure(error, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, kMethod);
  std::string missing = m_dir / "missing.ini";
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPathWithinRegistrationFile(missing.c_str(), &bare,
                                                                           path, &error));
  ExpectFailure(error, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, kMethod);
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPathWithinRegistrationFile(file.c_str(), nullptr,
                                                                           path, &error));
  ExpectFailure(error, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, kMethod);
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPath(nullptr, path, &error));
  ExpectFailure(error, kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 0);
}

TEST_F(RegistrationFiles, EmptyValueReadsAsNotRegisteredForTheFactory) {
  kwTest::WriteFile(m_dir / "empty.ini", "[COMPONENT]\n" + kwTest::Key(CLSID_Listed) + "=\n");
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
  CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), "empty.ini", nullptr);
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  EXPECT_FALSE(CkwObjectFactory::kwCreateObject(&CLSID_Listed, &object, &error));
  ExpectFailure(error, kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 1);
}

TEST_F(RegistrationFiles, AFileEditedBetweenTwoCreationsIsReadAgain) {
  std::string file = m_dir / "edited.ini";
  kwTest::WriteFile(file, "[COMPONENT]\n");
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
  CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), "edited.ini", nullptr);
  CkwServiceObject* object = nullptr;
  EXPECT_FALSE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestCountedA, &object, nullptr));
  kwTest::WriteFile(
      file, Registration({{CLSID_kwTestCountedA, kwTest::ComponentPath("kwtest_counting")}}));
  ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&CLSID_kwTestCountedA, &object, nullptr));
  CkwObjectFactory::kwFreeObject(&object, nullptr);
}

}  // namespace
