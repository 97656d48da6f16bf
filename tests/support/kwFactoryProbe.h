// Opens CkwObjectFactory's protected operations to tests, and a fixture for
// tests that drive the factory with registration files of their own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <kwcore/CkwObjectFactory.h>

#include "support/kwTempDir.h"

struct kwFactoryProbe : CkwObjectFactory {
  using CkwObjectFactory::kwCombineRegistrationFileName;
  using CkwObjectFactory::kwConvertToString;
  using CkwObjectFactory::kwGetProgramPath;
  using CkwObjectFactory::kwSearchComponentPath;
  using CkwObjectFactory::kwSearchComponentPathWithinRegistrationFile;
};

/// A factory without the default file: tests see only the files they write,
/// unless they switch the default file back on. CTest runs every test in a
/// process of its own, so each starts with an empty search table.
class kwFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr); }

  /// Writes `text` into the temporary directory and makes it the only file listed.
  std::string Register(const std::string& text, const char* name = "components.ini") {
    kwTest::WriteFile(m_dir / name, text);
    EXPECT_TRUE(
        CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), name, nullptr));
    return m_dir / name;
  }
  std::string Register(const std::vector<std::pair<GUID, std::string>>& pairs) {
    return Register(kwTest::Registration(pairs));
  }

  /// Creates an object of `clsid` and frees it again: true when the factory
  /// succeeded and the object reports `clsid`.
  static bool Created(const GUID& clsid, CkwErrorInfo* error = nullptr) {
    CkwServiceObject* object = nullptr;
    GUID made{};
    const bool created = CkwObjectFactory::kwCreateObject(&clsid, &object, error) &&
                         object != nullptr && object->kwGetCLSID(&made, nullptr) && made == clsid;
    if (object != nullptr) CkwObjectFactory::kwFreeObject(&object, nullptr);
    return created;
  }

  kwTest::TempDir m_dir;
};
