#include <kwcore/CkwDiscTemplateSettings.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"
#include "support/kwSaveDataDouble.h"

namespace {

const GUID kSource = {0xDCC94BD0, 0x9928, 0x4F3F, {0x98, 0x48, 0x6E, 0xE9, 0xEF, 0x61, 0x75, 0x96}};

using Format = CkwDiscFormat::kwDiscFormat;
constexpr Format kwDISC_FORMAT_DVD = CkwDiscFormat::kwDISC_FORMAT_DVD;
constexpr Format kwDISC_FORMAT_VCD = CkwDiscFormat::kwDISC_FORMAT_VCD;
constexpr Format kwDISC_FORMAT_SVCD = CkwDiscFormat::kwDISC_FORMAT_SVCD;
constexpr Format kwDISC_FORMAT_BLU_RAY = CkwDiscFormat::kwDISC_FORMAT_BLU_RAY;

static_assert(sizeof(Format) == 4 && std::is_signed_v<std::underlying_type_t<Format>>);
static_assert(CkwDiscFormat::kwDISC_FORMAT_LAST == 6);
// The source is read through its operations: assignment takes a non-constant
// reference, so a constant source does not compile.
static_assert(std::is_assignable_v<CkwDiscTemplateSettings&, CkwDiscTemplateSettings&>);
static_assert(!std::is_assignable_v<CkwDiscTemplateSettings&, const CkwDiscTemplateSettings&>);
static_assert(std::is_copy_constructible_v<CkwDiscTemplateSettings>);

SAVEDATA Pattern(BYTE seed) {
  SAVEDATA data;
  for (std::size_t i = 0; i < sizeof data.abData; ++i)
    data.abData[i] = static_cast<BYTE>(seed + i * 7 + 1);
  return data;
}

SAVEDATA* RecordOf(CkwDiscTemplateSettings& settings) {
  SAVEDATA* record = reinterpret_cast<SAVEDATA*>(&settings);
  EXPECT_TRUE(settings.kwGetVIOSaveData(&record, nullptr));
  return record;
}

bool IsAllZero(const SAVEDATA* data) {
  if (data == nullptr) return false;
  for (BYTE b : data->abData)
    if (b != 0) return false;
  return true;
}

// The object holds its own record with the bytes of `data`.
bool Holds(CkwDiscTemplateSettings& settings, const SAVEDATA& data) {
  const SAVEDATA* held = RecordOf(settings);
  return held != nullptr && held != &data && std::memcmp(held, &data, sizeof data) == 0;
}

void ExpectSettings(const CkwDiscTemplateSettings& settings, Format format, bool mode) {
  EXPECT_EQ(kwRead(settings, &CkwDiscTemplateSettings::kwGetDiscFormat), format);
  EXPECT_EQ(kwRead(settings, &CkwDiscTemplateSettings::kwIsVCDCompliantModeEnabled), mode);
}

// An object with the given format and mode and, unless `data` is null, a record.
std::unique_ptr<CkwDiscTemplateSettings> Make(Format format, bool mode, const SAVEDATA* data) {
  auto settings = std::make_unique<CkwDiscTemplateSettings>();
  EXPECT_TRUE(settings->kwSetDiscFormat(format, nullptr));
  EXPECT_TRUE(settings->kwEnableVCDCompliantMode(mode, nullptr));
  if (data != nullptr) {
    EXPECT_TRUE(settings->kwSetVIOSaveData(data, nullptr));
  }
  return settings;
}

// Calls of Nubra's clear and copy since construction.
struct HelperCalls {
  kwTest::SaveDataCalls start = kwTest::SaveDataCallsMade();
  int Clears() const { return kwTest::SaveDataCallsMade().clears - start.clears; }
  int Copies() const { return kwTest::SaveDataCallsMade().copies - start.copies; }
};

// Observes the global error manager around one test.
class DiscTemplate : public ::testing::Test {
 protected:
  void SetUp() override {
    CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
    Manager()->kwClearErrorInfo();
  }
  void TearDown() override {
    CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
    kwTest::FailNextSaveDataClears(0);
    kwTest::FailNextSaveDataCopies(0);
    kwTest::FailAllocation(0);
  }
  static CkwGlobalErrorManager* Manager() {
    return CkwGlobalErrorManager::kwGetGlobalErrorManager();
  }
  static std::uint64_t Reports() { return Manager()->kwGetTotalErrorCount(); }
  static CkwErrorInfo LastReport() {
    CkwErrorInfo last;
    EXPECT_TRUE(Manager()->kwGetLastErrorInfo(&last));
    return last;
  }
};

// ---------------------------------------------------------------------------
// The kw methods

TEST_F(DiscTemplate, DefaultsFormatRangeAndMode) {
  CkwDiscTemplateSettings settings;
  ExpectSettings(settings, kwDISC_FORMAT_DVD, true);
  EXPECT_EQ(static_cast<int>(kwDISC_FORMAT_DVD), 0);
  EXPECT_EQ(RecordOf(settings), nullptr);
  for (int value : {6, 0, -1, INT_MIN, 3}) {
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_TRUE(settings.kwSetDiscFormat(Format(value), &error)) << value;
    EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
    EXPECT_EQ(*error.m_pSource, kSource);
    ExpectSettings(settings, Format(value), true);
  }
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_TRUE(settings.kwEnableVCDCompliantMode(false, &error));  // never fails
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kSource);
  ExpectSettings(settings, Format(3), false);
}

#define ROW(call, code, method) \
  kwFAILURE_ROW(CkwDiscTemplateSettings, #call, call, code, kwSEVERITY_ERROR, method)
const kwFailureRow<CkwDiscTemplateSettings> kFailures[] = {
    ROW(o.kwSetDiscFormat(Format(7), e), kwERROR_OUT_OF_RANGE, 0),
    ROW(o.kwSetDiscFormat(Format(INT_MAX), e), kwERROR_OUT_OF_RANGE, 0),
    ROW(o.kwGetDiscFormat(nullptr, e), kwERROR_NULL_POINTER, 1),
    ROW(o.kwSetVIOSaveData(nullptr, e), kwERROR_NULL_POINTER, 2),
    ROW(o.kwGetVIOSaveData(nullptr, e), kwERROR_NULL_POINTER, 3),
    ROW(o.kwIsVCDCompliantModeEnabled(nullptr, e), kwERROR_NULL_POINTER, 6),
};
#undef ROW

TEST_F(DiscTemplate, FailureTableLeavesTheObjectAlone) {
  static const SAVEDATA data = Pattern(3);
  kwRunFailureTable(
      kFailures, kSource, [] { return Make(kwDISC_FORMAT_SVCD, false, &data); },
      [](CkwDiscTemplateSettings& settings) {
        ExpectSettings(settings, kwDISC_FORMAT_SVCD, false);
        EXPECT_TRUE(Holds(settings, data));
      });
}

TEST_F(DiscTemplate, EveryByteCountsWhenSetting) {
  // All zero: held without the copy; one non-zero byte, the first or the last, goes through it.
  for (int index : {-1, 0, 443}) {
    SCOPED_TRACE(index);
    CkwDiscTemplateSettings settings;
    SAVEDATA data{};
    if (index >= 0) data.abData[index] = 0x5A;
    HelperCalls calls;
    ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
    EXPECT_EQ(calls.Copies(), index >= 0 ? 1 : 0);
    EXPECT_TRUE(Holds(settings, data));
  }
}

TEST_F(DiscTemplate, SettingAgainClearsAndReusesTheBlock) {
  const SAVEDATA first = Pattern(1), second = Pattern(2), zero{};
  auto settings = Make(kwDISC_FORMAT_DVD, true, &first);
  SAVEDATA* held = RecordOf(*settings);
  HelperCalls calls;
  ASSERT_TRUE(settings->kwSetVIOSaveData(&second, nullptr));
  EXPECT_EQ(calls.Clears(), 1);
  EXPECT_EQ(RecordOf(*settings), held);
  EXPECT_TRUE(Holds(*settings, second));
  ASSERT_TRUE(settings->kwSetVIOSaveData(held, nullptr));  // its own record: kept
  EXPECT_TRUE(Holds(*settings, second));
  ASSERT_TRUE(settings->kwSetVIOSaveData(&zero, nullptr));  // cleared, kept
  EXPECT_EQ(RecordOf(*settings), held);
  EXPECT_TRUE(IsAllZero(held));
  HelperCalls destruction;
  settings.reset();
  EXPECT_EQ(destruction.Clears(), 1);
}

TEST_F(DiscTemplate, SetFailuresOfNubraAndMemory) {
  const SAVEDATA data = Pattern(5), other = Pattern(6);
  struct Case {
    const char* condition;
    void (*force)();
    std::int32_t code;
    bool recordKept;
  };
  const Case cases[] = {
      {"clear of the held record fails", [] { kwTest::FailNextSaveDataClears(1); },
       kwERROR_CLEAR_SAVEDATA_FAILED, true},
      {"copy fails", [] { kwTest::FailNextSaveDataCopies(1); }, kwERROR_COPY_SAVEDATA_FAILED,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    auto settings = Make(kwDISC_FORMAT_DVD, true, &data);
    SAVEDATA* held = RecordOf(*settings);
    CkwErrorInfo error;
    c.force();
    EXPECT_FALSE(settings->kwSetVIOSaveData(&other, &error));
    EXPECT_TRUE(kwIsFailure(error, {c.code, kwSEVERITY_ERROR, 2, kSource}));
    EXPECT_EQ(RecordOf(*settings), c.recordKept ? held : nullptr);
    ASSERT_TRUE(settings->kwSetVIOSaveData(&other, nullptr));  // usable again
    EXPECT_TRUE(Holds(*settings, other));
  }
  CkwDiscTemplateSettings settings;
  CkwErrorInfo error;
  kwTest::FailAllocation(1);  // no memory for a new block
  EXPECT_FALSE(settings.kwSetVIOSaveData(&data, &error));
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, kSource}));
  EXPECT_EQ(RecordOf(settings), nullptr);
  EXPECT_EQ(Reports(), 0u);  // methods with a record never use the manager
}

// ---------------------------------------------------------------------------
// Copy construction and assignment

TEST_F(DiscTemplate, AssignmentCopiesEverything) {
  const SAVEDATA data = Pattern(8), old = Pattern(9);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_AVCHD, false, &data);
  auto target = Make(kwDISC_FORMAT_VCD, true, &old);
  HelperCalls calls;
  *target = *source;
  EXPECT_EQ(calls.Clears(), 1);  // the old record
  EXPECT_EQ(calls.Copies(), 1);
  ExpectSettings(*target, CkwDiscFormat::kwDISC_FORMAT_AVCHD, false);
  EXPECT_NE(RecordOf(*target), RecordOf(*source));
  source.reset();
  EXPECT_TRUE(Holds(*target, data));
  // Self-assignment keeps everything.
  SAVEDATA* held = RecordOf(*target);
  CkwDiscTemplateSettings& alias = *target;
  *target = alias;
  EXPECT_EQ(RecordOf(*target), held);
  EXPECT_TRUE(Holds(*target, data));
  ExpectSettings(*target, CkwDiscFormat::kwDISC_FORMAT_AVCHD, false);
  // From an object without a record: the old record goes.
  CkwDiscTemplateSettings none;
  ASSERT_TRUE(none.kwSetDiscFormat(CkwDiscFormat::kwDISC_FORMAT_MINI_DVD, nullptr));
  HelperCalls clear;
  *target = none;
  EXPECT_EQ(clear.Clears(), 1);
  EXPECT_EQ(RecordOf(*target), nullptr);
  ExpectSettings(*target, CkwDiscFormat::kwDISC_FORMAT_MINI_DVD, true);
  CkwDiscTemplateSettings fromNone(none);
  EXPECT_EQ(RecordOf(fromNone), nullptr);
  EXPECT_EQ(Reports(), 0u);  // success reports nothing
}

TEST_F(DiscTemplate, CopyConstructionMakesAnIndependentCopy) {
  const SAVEDATA data = Pattern(12);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_DVD_DUAL_LAYER, false, &data);
  auto copy = std::make_unique<CkwDiscTemplateSettings>(*source);
  ExpectSettings(*copy, CkwDiscFormat::kwDISC_FORMAT_DVD_DUAL_LAYER, false);
  EXPECT_TRUE(Holds(*copy, data));
  copy.reset();  // the source's record survives the copy's end
  EXPECT_TRUE(Holds(*source, data));
  CkwDiscTemplateSettings second(*source);
  source.reset();  // and the other way round
  EXPECT_TRUE(Holds(second, data));
  EXPECT_EQ(Reports(), 0u);
}

TEST_F(DiscTemplate, AssignmentIgnoresTheFirstFourBytesWhenTestingForEmpty) {
  SAVEDATA data{};
  data.abData[0] = 1;
  data.abData[3] = 0xFF;
  auto source = Make(kwDISC_FORMAT_DVD, true, &data);
  ASSERT_TRUE(Holds(*source, data));  // set counted them
  CkwDiscTemplateSettings target;
  HelperCalls calls;
  target = *source;
  EXPECT_EQ(calls.Copies(), 0);
  EXPECT_TRUE(IsAllZero(RecordOf(target)));
  CkwDiscTemplateSettings copied(*source);  // copy construction follows the same rule
  EXPECT_TRUE(IsAllZero(RecordOf(copied)));
  // One byte beyond the first four makes it a real copy.
  data.abData[4] = 2;
  ASSERT_TRUE(source->kwSetVIOSaveData(&data, nullptr));
  target = *source;
  EXPECT_TRUE(Holds(target, data));
}

// Without a record to return a failure in, assignment and copy construction
// report to the global manager. A failed clear of the old record stops the
// assignment with that record kept, in whatever state the clear left it.
TEST_F(DiscTemplate, CopyFailuresReachTheGlobalManager) {
  const SAVEDATA data = Pattern(13), old = Pattern(14);
  struct Case {
    const char* condition;
    void (*force)();
    std::int32_t code;
    bool construct;
    bool oldRecordKept;
  };
  const Case cases[] = {
      {"assignment without memory", [] { kwTest::FailAllocation(1); }, kwERROR_OUT_OF_MEMORY, false,
       false},
      {"assignment's copy fails", [] { kwTest::FailNextSaveDataCopies(1); },
       kwERROR_COPY_SAVEDATA_FAILED, false, false},
      {"assignment's clear fails", [] { kwTest::FailNextSaveDataClears(1); },
       kwERROR_CLEAR_SAVEDATA_FAILED, false, true},
      {"copy construction's copy fails", [] { kwTest::FailNextSaveDataCopies(1); },
       kwERROR_COPY_SAVEDATA_FAILED, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    Manager()->kwClearErrorInfo();
    auto source = Make(kwDISC_FORMAT_BLU_RAY, false, &data);
    auto target = Make(kwDISC_FORMAT_VCD, true, &old);
    SAVEDATA* held = RecordOf(*target);
    c.force();
    if (c.construct) {
      target = std::make_unique<CkwDiscTemplateSettings>(*source);
    } else {
      *target = *source;
    }
    ASSERT_EQ(Reports(), 1u);
    EXPECT_TRUE(kwIsFailure(LastReport(), {c.code, kwSEVERITY_ERROR, 4, kSource}));
    EXPECT_EQ(RecordOf(*target), c.oldRecordKept ? held : nullptr);
    // Assignment keeps the old format and mode; a copy has the source's.
    if (c.construct) {
      ExpectSettings(*target, kwDISC_FORMAT_BLU_RAY, false);
    } else {
      ExpectSettings(*target, kwDISC_FORMAT_VCD, true);
    }
    EXPECT_TRUE(Holds(*source, data));
  }
}

TEST_F(DiscTemplate, NothingIsReportedWhileTheManagerIsOff) {
  const SAVEDATA data = Pattern(18);
  auto source = Make(kwDISC_FORMAT_DVD, true, &data);
  CkwDiscTemplateSettings target;
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(false);
  kwTest::FailNextSaveDataCopies(1);
  target = *source;  // fails quietly
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
  EXPECT_EQ(Reports(), 0u);
  EXPECT_EQ(RecordOf(target), nullptr);
}

}  // namespace
