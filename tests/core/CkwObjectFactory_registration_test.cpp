// Registration files: the list, the default file, and the search through them.
#include <kwcore/CkwObjectFactory.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/kwErrorCodes.h>

#include "components/kwTestComponents.h"
#include "support/kwExpectFailure.h"
#include "support/kwFactoryProbe.h"
#include "support/kwFailingAllocation.h"
#include "support/kwTempDir.h"

namespace {

using Files = std::vector<std::string>;
using kwTest::Registration;

const GUID CLSID_Listed = {0x11112222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0, 1}};

kwExpectedFailure Failure(std::int32_t code, std::int32_t severity, std::int32_t method) {
  return {code, severity, method, CLSID_CkwObjectFactory};
}

class RegistrationFiles : public kwFactoryTest {
 protected:
  void SetUp() override {
    kwFactoryTest::SetUp();
    ASSERT_TRUE(kwFactoryProbe::kwGetProgramPath(m_programPath, nullptr));
  }

  bool Set(const char* name) {
    return CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), name, nullptr);
  }
  bool Add(const char* name, const std::string& dir = "") {
    return CkwObjectFactory::kwAddComponentRegistrationFile(
        dir.empty() ? m_dir.path().c_str() : dir.c_str(), name, nullptr);
  }
  bool Remove(const char* name) {
    return CkwObjectFactory::kwRemoveComponentRegistrationFile(m_dir.path().c_str(), name, nullptr);
  }
  std::string Search(const GUID& clsid, CkwErrorInfo* error = nullptr) {
    std::string path;
    kwFactoryProbe::kwSearchComponentPath(&clsid, path, error);
    return path;
  }
  // Writes each file registering CLSID_Listed with the file's own path.
  void WriteListed(std::initializer_list<const char*> names) {
    for (const char* name : names)
      kwTest::WriteFile(m_dir / name, Registration({{CLSID_Listed, m_dir / name}}));
  }
  // The listed files in search order: each one found is emptied so the next answers.
  Files Listed() {
    Files order;
    for (std::string found; !(found = Search(CLSID_Listed)).empty();) {
      order.push_back(found);
      kwTest::WriteFile(found, "[COMPONENT]\n");
    }
    for (const std::string& file : order)
      kwTest::WriteFile(file, Registration({{CLSID_Listed, file}}));
    return order;
  }

  std::string m_programPath;
};

TEST_F(RegistrationFiles, SetAddRemoveKeepOneOrderedEntryPerName) {
  WriteListed({"A.ini", "B.ini", "C.ini", "a.ini", "D.ini"});
  // The file added last is searched first; a missing one is skipped.
  ASSERT_TRUE(Set("A.ini") && Add("B.ini") && Add("C.ini") && Add("missing.ini"));
  const Files cba = {m_dir / "C.ini", m_dir / "B.ini", m_dir / "A.ini"};
  EXPECT_EQ(Listed(), cba);
  // Already listed, also when the directory is given with its separator.
  EXPECT_TRUE(Add("A.ini", m_dir.path() + "/"));
  EXPECT_EQ(Listed(), cba);
  // Names keep their case: a.ini is another file.
  EXPECT_TRUE(Add("a.ini"));
  EXPECT_EQ(Listed().front(), m_dir / "a.ini");
  EXPECT_TRUE(Remove("a.ini") && Remove("B.ini") && Remove("absent.ini"));
  EXPECT_EQ(Listed(), (Files{m_dir / "C.ini", m_dir / "A.ini"}));
  ASSERT_TRUE(Set("D.ini"));
  EXPECT_EQ(Listed(), Files{m_dir / "D.ini"});

  // A null file name is code 2 of method 10 and leaves the list alone.
  using Call = bool (*)(const char*, const char*, CkwErrorInfo*);
  for (Call call : {Call(&CkwObjectFactory::kwSetComponentRegistrationFile),
                    Call(&CkwObjectFactory::kwAddComponentRegistrationFile),
                    Call(&CkwObjectFactory::kwRemoveComponentRegistrationFile)}) {
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(call("/x", nullptr, &error));
    EXPECT_TRUE(kwIsFailure(error, Failure(kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 10)));
  }
  EXPECT_EQ(Listed(), Files{m_dir / "D.ini"});
}

TEST_F(RegistrationFiles, NamesFromTheExecutableAndTheKeyText) {
  EXPECT_EQ(m_programPath,
            std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/");
  std::string name;
  EXPECT_TRUE(kwFactoryProbe::kwConvertToString(CLSID_CkwServiceObject, name, nullptr));
  EXPECT_EQ(name, "D637092D-6B0A-4F0F-A6DA-73DBD26FAAED");
  CkwErrorInfo error;
  std::string empty;
  kwTest::FailAllocation(1);
  EXPECT_FALSE(kwFactoryProbe::kwConvertToString(CLSID_CkwServiceObject, empty, &error));
  EXPECT_TRUE(kwIsFailure(error, Failure(kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 12)));

  // Case is kept; the "/" put between is the list test's (a directory given with its separator).
  const std::pair<const char*, std::string> cases[] = {
      {"C:\\Data\\", "C:\\Data\\Comp.INI"},
      {nullptr, m_programPath + "Comp.INI"},
      {"", m_programPath + "Comp.INI"},
  };
  for (const auto& [directory, combined] : cases) {
    SCOPED_TRACE(directory != nullptr ? directory : "(null)");
    EXPECT_TRUE(
        kwFactoryProbe::kwCombineRegistrationFileName(directory, "Comp.INI", name, nullptr));
    EXPECT_EQ(name, combined);
  }
}

TEST_F(RegistrationFiles, DefaultFileBesideTheExecutableIsSearchedLastUnlessSwitchedOff) {
  const std::string defaultFile = m_programPath + "kwfactory_test.ini";  // "kw" + the program
  // Own CLSID: other test processes may search the same default file.
  const GUID clsid = {0xDEFA0001, 0x1, static_cast<WORD>(getpid()), {0, 1, 2, 3, 4, 5, 6, 7}};
  kwTest::WriteFile(defaultFile, Registration({{clsid, "/default/comp.so"}}));

  CkwErrorInfo error = kwStaleRecord();
  EXPECT_TRUE(CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(true, &error));
  EXPECT_EQ(Search(clsid, &error), "/default/comp.so");  // empty list: only the default file
  // Listed files come first.
  kwTest::WriteFile(m_dir / "listed.ini", Registration({{clsid, "/listed/comp.so"}}));
  Set("listed.ini");
  EXPECT_EQ(Search(clsid), "/listed/comp.so");
  kwTest::WriteFile(m_dir / "listed.ini", "[COMPONENT]\n");
  EXPECT_EQ(Search(clsid), "/default/comp.so");

  EXPECT_TRUE(CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, &error));
  EXPECT_EQ(Search(clsid, &error), "");
  EXPECT_TRUE(kwIsFailure(error, Failure(kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 0)));
  unlink(defaultFile.c_str());
  // On, but the default file is missing: reported by the search in the file.
  CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(true, nullptr);
  EXPECT_EQ(Search(clsid, &error), "");
  EXPECT_TRUE(kwIsFailure(error, Failure(kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 11)));
}

TEST_F(RegistrationFiles, SearchInOneFile) {
  std::string file = m_dir / "one.ini";
  auto id = [](std::uint32_t n) { return GUID{0xB0000000 + n, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}; };
  const GUID bare = id(1), relative = id(2), windowsStyle = id(3), empty = id(4), longValue = id(5);
  std::string tooLong = "/" + std::string(2000, 'x');
  kwTest::WriteFile(file, Registration({{bare, "comp.so"},
                                        {relative, "sub/comp.so"},
                                        {windowsStyle, "sub\\comp.so"},
                                        {empty, ""},
                                        {longValue, tooLong}}));
  const kwExpectedFailure notAvailable =
      Failure(kwERROR_COMPONENT_NOT_AVAILABLE, kwSEVERITY_WARNING, 11);
  struct Case {
    const char* name;
    const GUID* clsid;
    std::string expected;  // empty: fails as below
    kwExpectedFailure failure;
  };
  const Case cases[] = {
      {"bare name beside the executable", &bare, m_programPath + "comp.so", {}},
      {"relative directory beside the file", &relative, m_dir / "sub/comp.so", {}},
      {"backslash is a separator too", &windowsStyle, m_dir / "sub\\comp.so", {}},
      {"value cut at 1023 characters", &longValue, tooLong.substr(0, 1023), {}},
      {"empty value", &empty, "", notAvailable},
      {"not in the file", &CLSID_kwTestUnknown, "", notAvailable},
      {"null CLSID", nullptr, "", Failure(kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 11)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path;
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_EQ(kwFactoryProbe::kwSearchComponentPathWithinRegistrationFile(file.c_str(), c.clsid,
                                                                          path, &error),
              !c.expected.empty());
    EXPECT_EQ(path, c.expected);
    if (c.expected.empty()) {
      EXPECT_TRUE(kwIsFailure(error, c.failure));
    }
  }
  std::string path;
  CkwErrorInfo error;
  EXPECT_FALSE(kwFactoryProbe::kwSearchComponentPath(nullptr, path, &error));
  EXPECT_TRUE(kwIsFailure(error, Failure(kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 0)));
}

// Every mistake reads as code 7 in the record; the diagnostics say which.
TEST_F(RegistrationFiles, DiagnosticsSayWhyACLSIDWasNotFound) {
  const std::string key = kwTest::Key(CLSID_Listed);
  const std::string file = m_dir / "components.ini", module = m_dir / "absent.so",
                    fifo = m_dir / "libfifo.so";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string braced = "{" + key + "}", run = "registration: " + file + ": ";
  const struct {
    std::string text;  // "": no file at all
    std::vector<std::string> said;
  } kRows[] = {
      {"[COMPONENT]\n11112222-3333-4444-5555-666677770002=x.so\n",  // mistyped
       {run + "no key " + key + " in section [COMPONENT]",
        "create: " + braced + ": not registered in any registration file searched"}},
      {"[COMPONENT]\n" + braced + "=x.so\n", {"; key " + braced + " is written with braces"}},
      {"[component]\n11112222333344445555666677770001=x.so\n",
       {"; key 11112222333344445555666677770001 names the same CLSID in another form"}},
      {"[COMPONENTS]\n" + key + "=x.so\n", {run + "no section [COMPONENT]"}},
      {"", {run + "set, but there is no such file", run + "no such file"}},
      {Registration({{CLSID_Listed, module}}),
       {run + "key " + key + " in section [COMPONENT] names " + module, "module: " + module + ": ",
        "create: " + braced + ": its module did not load"}},
      // The loader would block on it for good, holding the factory's lock.
      {Registration({{CLSID_Listed, fifo}}), {"module: " + fifo + ": not a regular file"}},
  };
  alarm(30);  // a blocked load ends the program instead of hanging the run
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    unlink(file.c_str());
    if (!row.text.empty()) kwTest::WriteFile(file, row.text);
    kwTest::DiagnosticLog log;
    ASSERT_TRUE(Set("components.ini"));
    CkwErrorInfo error;
    EXPECT_FALSE(Created(CLSID_Listed, &error));
    EXPECT_TRUE(kwIsFailure(error, Failure(kwERROR_COMPONENT_NOT_AVAILABLE, 1, 1)));
    for (const std::string& text : row.said) EXPECT_TRUE(log.Contains(text)) << text;
  }
  alarm(0);
}

}  // namespace
