// The C++ helpers against real modules: objects come from the factory and
// go back to it, names and records are the library's own.
#include <gtest/gtest.h>

#include <kwcore/CkwVideoFilterRender.h>
#include <kwcore/kwcpp.h>

#include "components/kwTestComponents.h"
#include "components/persistent_items.h"
#include "support/kwFactoryProbe.h"
#include "support/kwTestCounters.h"

namespace {

constexpr GUID kSample = {
    0x5A1C9E42, 0x0D3B, 0x4E8F, {0x9A, 0x61, 0x2B, 0x7C, 0x4D, 0x8E, 0x0F, 0x13}};

// The parser's own refusals are the platform test's; here the helper's lengths.
TEST(kwcppTest, GuidTextRoundTripsAndBadTextLeavesTheGuid) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"{5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F13}", true},
      {"5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F13", true},
      {"5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F13}", false},
      {"{5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F1G}", false},
      {"{5A1C9E42-0D3B-4E8F-9A61-2B7C4D8E0F13} ", false},
  };
  for (const auto& c : cases) {
    GUID guid = GUID_NULL;
    EXPECT_EQ(kwGuidFromText(c.text, &guid), c.ok) << c.text;
    EXPECT_EQ(guid, c.ok ? kSample : GUID_NULL) << c.text;
  }
  // An embedded NUL must not shorten the text into something valid.
  GUID guid = GUID_NULL;
  EXPECT_FALSE(
      kwGuidFromText(std::string_view("{5A1C9E42-0D3B\0E8F-9A61-2B7C4D8E0F13}", 38), &guid));
}

// STG_E_FILENOTFOUND's text: what the storage tests read for a missing stream.
TEST(kwcppTest, HResultTextNamesTheKnownResults) {
  const struct {
    HRESULT hr;
    const char* text;
  } cases[] = {
      {S_OK, "S_OK (0x00000000)"},
      {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED (0x80030005)"},
      {E_ACCESSDENIED, "E_ACCESSDENIED (0x80070005)"},
      {STG_S_CANNOTCONSOLIDATE, "STG_S_CANNOTCONSOLIDATE (0x00030206)"},
      {static_cast<HRESULT>(0x80030777u), "0x80030777"},
  };
  for (const auto& c : cases) EXPECT_EQ(kwHResultText(c.hr), c.text);
}

// A module's own record: stamped on entry, filled by Fail with the line.
TEST(kwcppTest, ModuleRecordsAreStampedThenFilled) {
  CkwErrorInfo error;
  error.m_nSeverity = kwSEVERITY_ERROR;  // left by an earlier call
  CkwModuleRecord record(&error, kwTestFailingSource, 3);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  const int line = __LINE__ + 1;
  EXPECT_FALSE(record.Fail(kwERROR_OUT_OF_RANGE));
  EXPECT_TRUE(error.m_pCategory == &kwGUID_ErrorCategoryGeneral &&
              error.m_nErrorCode == kwERROR_OUT_OF_RANGE && error.m_nSeverity == kwSEVERITY_ERROR &&
              error.m_pSource == &kwTestFailingSource && error.m_nMethod == 3 &&
              error.m_nLine == line);
  EXPECT_FALSE(CkwModuleRecord(nullptr, kwTestFailingSource, 3).Fail(kwERROR_OUT_OF_RANGE));
}

class kwcppFactoryTest : public kwFactoryTest {};

TEST_F(kwcppFactoryTest, ErrorTextOfRealRecords) {
  CkwErrorInfo error;
  EXPECT_EQ(kwErrorText(error), "no error");
  Register("[COMPONENT]\n");
  EXPECT_FALSE(kwMakeObject(CLSID_kwTestUnknown, &error));
  EXPECT_EQ(kwErrorText(error),
            "code 7 kwERROR_COMPONENT_NOT_AVAILABLE, severity 1 (warning), "
            "method 1, source {A89D94E3-84BD-4325-BBB6-A0C22FB4C693} "
            "CkwObjectFactory, line " +
                std::to_string(error.m_nLine));
  // Another category's codes are not kwcore's to name.
  error.m_pCategory = &kwTestFailingSource;
  error.m_pSource = &kwTestFailingSource;
  error.m_nErrorCode = 4;
  error.m_nSeverity = 2;
  EXPECT_EQ(kwErrorText(error), "category " + kwGuidText(kwTestFailingSource) +
                                    ", code 4, severity 2 (error), method 1, source " +
                                    kwGuidText(kwTestFailingSource) + ", line " +
                                    std::to_string(error.m_nLine));
}

TEST_F(kwcppFactoryTest, ObjectsGoBackToTheModuleThatMadeThem) {
  Register({{CLSID_kwTestCountedA, kwTest::ComponentPath("kwtest_counting")}});
  CkwErrorInfo error;
  const auto freed = kwTestCounters::Destructions();
  {
    CkwObjectPtr<> object = kwMakeObject(CLSID_kwTestCountedA, &error);
    ASSERT_TRUE(object) << kwErrorText(error);
    EXPECT_EQ(kwTestCounters::Destructions(), freed);
  }
  EXPECT_EQ(kwTestCounters::Destructions(), freed + 1);
  // Not the class asked for: freed at once, reported as a service not offered.
  EXPECT_FALSE(kwMakeObject<CkwVideoFilterRender>(CLSID_kwTestCountedA, &error));
  EXPECT_EQ(kwTestCounters::Destructions(), freed + 2);
  EXPECT_EQ(error.m_nErrorCode, kwERROR_SERVICE_NOT_OFFERED);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_WARNING);
}

TEST_F(kwcppFactoryTest, NamesFromAnyTextThroughTheService) {
  Register({{CLSID_TestPersistentItem, kwTest::ComponentPath("kwtest_persistent_items")},
            {CLSID_TestPlainItem, kwTest::ComponentPath("kwtest_persistent_items")}});
  CkwErrorInfo error;
  CkwObjectPtr<> item = kwMakeObject(CLSID_TestPersistentItem, &error);
  ASSERT_TRUE(item) << kwErrorText(error);
  const std::string longest(CkwPersistentObject::kMaxNameLength, 'n');
  EXPECT_TRUE(kwSetObjectName(*item, longest, &error));
  EXPECT_EQ(kwObjectName(*item), longest);
  EXPECT_FALSE(kwSetObjectName(*item, longest + "n", &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_OUT_OF_RANGE);  // the name unchanged: the object's test

  CkwObjectPtr<> plain = kwMakeObject(CLSID_TestPlainItem, &error);
  ASSERT_TRUE(plain) << kwErrorText(error);
  EXPECT_EQ(kwObjectName(*plain, &error), "");  // through kwQueryService
  EXPECT_EQ(error.m_nErrorCode, kwERROR_SERVICE_NOT_OFFERED);
}

}  // namespace
