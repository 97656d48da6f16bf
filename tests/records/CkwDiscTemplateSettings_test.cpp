#include <kwcore/CkwDiscTemplateSettings.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <type_traits>

#include "core/kwTestHooks.h"
#include "support/kwExpectFailure.h"

namespace {

const GUID kSource = {0xDCC94BD0, 0x9928, 0x4F3F, {0x98, 0x48, 0x6E, 0xE9, 0xEF, 0x61, 0x75, 0x96}};

using Format = CkwDiscFormat::kwDiscFormat;

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

bool IsAllZero(const SAVEDATA& data) {
  for (BYTE b : data.abData)
    if (b != 0) return false;
  return true;
}

SAVEDATA* RecordOf(CkwDiscTemplateSettings& settings) {
  SAVEDATA* record = reinterpret_cast<SAVEDATA*>(&settings);
  EXPECT_TRUE(settings.kwGetVIOSaveData(&record, nullptr));
  return record;
}

Format FormatOf(const CkwDiscTemplateSettings& settings) {
  Format format{};
  EXPECT_TRUE(settings.kwGetDiscFormat(&format, nullptr));
  return format;
}

bool ModeOf(const CkwDiscTemplateSettings& settings) {
  bool mode = false;
  EXPECT_TRUE(settings.kwIsVCDCompliantModeEnabled(&mode, nullptr));
  return mode;
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

// Observes the global error manager around one test.
class GlobalReports : public ::testing::Test {
 protected:
  void SetUp() override {
    CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
    Manager()->kwClearErrorInfo();
  }
  void TearDown() override {
    CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
    kwTestHooks::FailNextSaveDataClears(0);
    kwTestHooks::FailNextSaveDataCopies(0);
    kwTestHooks::FailNextAllocations(0);
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

using DiscTemplate = GlobalReports;

// ---------------------------------------------------------------------------
// The kw methods

TEST_F(DiscTemplate, Defaults) {
  CkwDiscTemplateSettings settings;
  EXPECT_EQ(FormatOf(settings), CkwDiscFormat::kwDISC_FORMAT_DVD);
  EXPECT_EQ(static_cast<int>(FormatOf(settings)), 0);
  EXPECT_TRUE(ModeOf(settings));
  EXPECT_EQ(RecordOf(settings), nullptr);
}

struct Failure {
  const char* condition;
  bool (*call)(CkwDiscTemplateSettings&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t method;
};

const Failure kFailures[] = {
    {"format 7",
     [](CkwDiscTemplateSettings& s, CkwErrorInfo* e) { return s.kwSetDiscFormat(Format(7), e); },
     kwERROR_OUT_OF_RANGE, 0},
    {"format INT_MAX",
     [](CkwDiscTemplateSettings& s, CkwErrorInfo* e) {
       return s.kwSetDiscFormat(Format(INT_MAX), e);
     },
     kwERROR_OUT_OF_RANGE, 0},
    {"get format into null",
     [](CkwDiscTemplateSettings& s, CkwErrorInfo* e) { return s.kwGetDiscFormat(nullptr, e); },
     kwERROR_NULL_POINTER, 1},
    {"set null record",
     [](CkwDiscTemplateSettings& s, CkwErrorInfo* e) { return s.kwSetVIOSaveData(nullptr, e); },
     kwERROR_NULL_POINTER, 2},
    {"get record into null",
     [](CkwDiscTemplateSettings& s, CkwErrorInfo* e) { return s.kwGetVIOSaveData(nullptr, e); },
     kwERROR_NULL_POINTER, 3},
    {"get mode into null",
     [](CkwDiscTemplateSettings& s, CkwErrorInfo* e) {
       return s.kwIsVCDCompliantModeEnabled(nullptr, e);
     },
     kwERROR_NULL_POINTER, 6},
};

TEST_F(DiscTemplate, FailureTableLeavesTheObjectAlone) {
  const SAVEDATA data = Pattern(3);
  for (const Failure& row : kFailures) {
    SCOPED_TRACE(row.condition);
    auto settings = Make(CkwDiscFormat::kwDISC_FORMAT_SVCD, false, &data);
    SAVEDATA* before = RecordOf(*settings);
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(*settings, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, kwSEVERITY_ERROR, row.method, kSource}));
    EXPECT_FALSE(row.call(*settings, nullptr));
    EXPECT_EQ(FormatOf(*settings), CkwDiscFormat::kwDISC_FORMAT_SVCD);
    EXPECT_FALSE(ModeOf(*settings));
    EXPECT_EQ(RecordOf(*settings), before);
    EXPECT_EQ(std::memcmp(before, &data, sizeof data), 0);
  }
}

TEST_F(DiscTemplate, FormatAcceptsEverythingUpToSix) {
  CkwDiscTemplateSettings settings;
  for (int value : {6, 0, -1, INT_MIN, 3}) {
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_TRUE(settings.kwSetDiscFormat(Format(value), &error)) << value;
    EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
    EXPECT_EQ(*error.m_pSource, kSource);
    EXPECT_EQ(static_cast<int>(FormatOf(settings)), value);
  }
}

TEST_F(DiscTemplate, VCDCompliantModeNeverFails) {
  CkwDiscTemplateSettings settings;
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_TRUE(settings.kwEnableVCDCompliantMode(false, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kSource);
  EXPECT_FALSE(ModeOf(settings));
  EXPECT_TRUE(settings.kwEnableVCDCompliantMode(true, nullptr));
  EXPECT_TRUE(ModeOf(settings));
}

TEST_F(DiscTemplate, AllZeroRecordIsHeldWithoutACopy) {
  CkwDiscTemplateSettings settings;
  const SAVEDATA zero{};
  const auto before = kwTestHooks::GetSaveDataCalls();
  ASSERT_TRUE(settings.kwSetVIOSaveData(&zero, nullptr));
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().copies, before.copies);
  SAVEDATA* held = RecordOf(settings);
  ASSERT_NE(held, nullptr);
  ASSERT_NE(held, &zero);
  EXPECT_TRUE(IsAllZero(*held));
}

TEST_F(DiscTemplate, EveryByteCountsWhenSetting) {
  // A record whose only non-zero byte is byte 0 goes through the copy; so
  // does one whose only non-zero byte is the last.
  for (std::size_t index : {std::size_t{0}, std::size_t{443}}) {
    SCOPED_TRACE(index);
    CkwDiscTemplateSettings settings;
    SAVEDATA data{};
    data.abData[index] = 0x5A;
    const auto before = kwTestHooks::GetSaveDataCalls();
    ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
    EXPECT_EQ(kwTestHooks::GetSaveDataCalls().copies, before.copies + 1);
    EXPECT_EQ(std::memcmp(RecordOf(settings), &data, sizeof data), 0);
  }
}

TEST_F(DiscTemplate, SettingAgainClearsAndReusesTheBlock) {
  const SAVEDATA first = Pattern(1), second = Pattern(2), zero{};
  CkwDiscTemplateSettings settings;
  ASSERT_TRUE(settings.kwSetVIOSaveData(&first, nullptr));
  SAVEDATA* held = RecordOf(settings);
  const auto before = kwTestHooks::GetSaveDataCalls();
  ASSERT_TRUE(settings.kwSetVIOSaveData(&second, nullptr));
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().clears, before.clears + 1);
  EXPECT_EQ(RecordOf(settings), held);
  EXPECT_EQ(std::memcmp(held, &second, sizeof second), 0);
  ASSERT_TRUE(settings.kwSetVIOSaveData(&zero, nullptr));  // cleared, kept
  EXPECT_EQ(RecordOf(settings), held);
  EXPECT_TRUE(IsAllZero(*held));
}

TEST_F(DiscTemplate, SettingTheOwnRecordKeepsIt) {
  const SAVEDATA data = Pattern(4);
  CkwDiscTemplateSettings settings;
  ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
  SAVEDATA* held = RecordOf(settings);
  ASSERT_TRUE(settings.kwSetVIOSaveData(held, nullptr));
  EXPECT_EQ(RecordOf(settings), held);
  EXPECT_EQ(std::memcmp(held, &data, sizeof data), 0);
}

TEST_F(DiscTemplate, SetFailuresForcedAtTheSeam) {
  const SAVEDATA data = Pattern(5), other = Pattern(6);
  {
    SCOPED_TRACE("clear of the held record fails: code 22, record kept");
    CkwDiscTemplateSettings settings;
    ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
    SAVEDATA* held = RecordOf(settings);
    CkwErrorInfo error;
    kwTestHooks::FailNextSaveDataClears(1);
    EXPECT_FALSE(settings.kwSetVIOSaveData(&other, &error));
    EXPECT_TRUE(kwIsFailure(error, {kwERROR_CLEAR_SAVEDATA_FAILED, kwSEVERITY_ERROR, 2, kSource}));
    EXPECT_EQ(RecordOf(settings), held);
  }
  {
    SCOPED_TRACE("copy fails: code 23, no record left");
    CkwDiscTemplateSettings settings;
    ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
    CkwErrorInfo error;
    kwTestHooks::FailNextSaveDataCopies(1);
    EXPECT_FALSE(settings.kwSetVIOSaveData(&other, &error));
    EXPECT_TRUE(kwIsFailure(error, {kwERROR_COPY_SAVEDATA_FAILED, kwSEVERITY_ERROR, 2, kSource}));
    EXPECT_EQ(RecordOf(settings), nullptr);
    ASSERT_TRUE(settings.kwSetVIOSaveData(&other, nullptr));  // usable again
    EXPECT_EQ(std::memcmp(RecordOf(settings), &other, sizeof other), 0);
  }
  {
    SCOPED_TRACE("no memory for a new block: code 1");
    CkwDiscTemplateSettings settings;
    CkwErrorInfo error;
    kwTestHooks::FailNextAllocations(1);
    EXPECT_FALSE(settings.kwSetVIOSaveData(&data, &error));
    EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, kSource}));
    EXPECT_EQ(RecordOf(settings), nullptr);
  }
  EXPECT_EQ(Reports(), 0u);  // methods with a record never use the manager
}

TEST_F(DiscTemplate, DestructionClearsTheRecord) {
  const SAVEDATA data = Pattern(7);
  auto settings = Make(CkwDiscFormat::kwDISC_FORMAT_DVD, true, &data);
  const auto before = kwTestHooks::GetSaveDataCalls();
  settings.reset();
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().clears, before.clears + 1);
  CkwDiscTemplateSettings empty;  // nothing to clear
}

// ---------------------------------------------------------------------------
// Copy construction and assignment

TEST_F(DiscTemplate, AssignmentCopiesEverything) {
  const SAVEDATA data = Pattern(8), old = Pattern(9);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_AVCHD, false, &data);
  auto target = Make(CkwDiscFormat::kwDISC_FORMAT_VCD, true, &old);
  const auto before = kwTestHooks::GetSaveDataCalls();
  *target = *source;
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().clears, before.clears + 1);  // the old record
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().copies, before.copies + 1);
  EXPECT_EQ(FormatOf(*target), CkwDiscFormat::kwDISC_FORMAT_AVCHD);
  EXPECT_FALSE(ModeOf(*target));
  SAVEDATA* copy = RecordOf(*target);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, RecordOf(*source));
  EXPECT_EQ(std::memcmp(copy, &data, sizeof data), 0);
  source.reset();
  EXPECT_EQ(std::memcmp(RecordOf(*target), &data, sizeof data), 0);
  EXPECT_EQ(Reports(), 0u);  // success reports nothing
}

TEST_F(DiscTemplate, AssignmentIgnoresTheFirstFourBytesWhenTestingForEmpty) {
  SAVEDATA data{};
  data.abData[0] = 1;
  data.abData[3] = 0xFF;
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_DVD, true, &data);
  ASSERT_EQ(std::memcmp(RecordOf(*source), &data, sizeof data), 0);  // set counted them
  CkwDiscTemplateSettings target;
  const auto before = kwTestHooks::GetSaveDataCalls();
  target = *source;
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().copies, before.copies);
  ASSERT_NE(RecordOf(target), nullptr);
  EXPECT_TRUE(IsAllZero(*RecordOf(target)));
  // One byte beyond the first four makes it a real copy.
  data.abData[4] = 2;
  ASSERT_TRUE(source->kwSetVIOSaveData(&data, nullptr));
  target = *source;
  EXPECT_EQ(std::memcmp(RecordOf(target), &data, sizeof data), 0);
}

TEST_F(DiscTemplate, AssignmentFromAnObjectWithoutARecord) {
  const SAVEDATA old = Pattern(10);
  CkwDiscTemplateSettings source;
  ASSERT_TRUE(source.kwSetDiscFormat(CkwDiscFormat::kwDISC_FORMAT_MINI_DVD, nullptr));
  auto target = Make(CkwDiscFormat::kwDISC_FORMAT_BLU_RAY, false, &old);
  const auto before = kwTestHooks::GetSaveDataCalls();
  *target = source;
  EXPECT_EQ(kwTestHooks::GetSaveDataCalls().clears, before.clears + 1);
  EXPECT_EQ(RecordOf(*target), nullptr);
  EXPECT_EQ(FormatOf(*target), CkwDiscFormat::kwDISC_FORMAT_MINI_DVD);
  EXPECT_TRUE(ModeOf(*target));
  EXPECT_EQ(Reports(), 0u);
}

TEST_F(DiscTemplate, SelfAssignmentKeepsEverything) {
  const SAVEDATA data = Pattern(11);
  auto settings = Make(CkwDiscFormat::kwDISC_FORMAT_SVCD, false, &data);
  SAVEDATA* held = RecordOf(*settings);
  CkwDiscTemplateSettings& alias = *settings;
  *settings = alias;
  EXPECT_EQ(RecordOf(*settings), held);
  EXPECT_EQ(std::memcmp(held, &data, sizeof data), 0);
  EXPECT_EQ(FormatOf(*settings), CkwDiscFormat::kwDISC_FORMAT_SVCD);
  EXPECT_FALSE(ModeOf(*settings));
  EXPECT_EQ(Reports(), 0u);
}

TEST_F(DiscTemplate, CopyConstructionMakesAnIndependentCopy) {
  const SAVEDATA data = Pattern(12);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_DVD_DUAL_LAYER, false, &data);
  auto copy = std::make_unique<CkwDiscTemplateSettings>(*source);
  EXPECT_EQ(FormatOf(*copy), CkwDiscFormat::kwDISC_FORMAT_DVD_DUAL_LAYER);
  EXPECT_FALSE(ModeOf(*copy));
  ASSERT_NE(RecordOf(*copy), nullptr);
  EXPECT_NE(RecordOf(*copy), RecordOf(*source));
  copy.reset();  // the source's record survives the copy's end
  EXPECT_EQ(std::memcmp(RecordOf(*source), &data, sizeof data), 0);
  CkwDiscTemplateSettings second(*source);
  source.reset();  // and the other way round
  EXPECT_EQ(std::memcmp(RecordOf(second), &data, sizeof data), 0);

  SAVEDATA headerOnly{};
  headerOnly.abData[2] = 9;
  CkwDiscTemplateSettings withHeader;
  ASSERT_TRUE(withHeader.kwSetVIOSaveData(&headerOnly, nullptr));
  CkwDiscTemplateSettings fromHeader(withHeader);  // the assignment's emptiness rule
  EXPECT_TRUE(IsAllZero(*RecordOf(fromHeader)));
  CkwDiscTemplateSettings none;
  CkwDiscTemplateSettings fromNone(none);
  EXPECT_EQ(RecordOf(fromNone), nullptr);
  EXPECT_EQ(Reports(), 0u);
}

struct AssignmentFailure {
  const char* condition;
  void (*force)();
  std::int32_t code;
};

const AssignmentFailure kAssignmentFailures[] = {
    {"no memory for the new record", [] { kwTestHooks::FailNextAllocations(1); },
     kwERROR_OUT_OF_MEMORY},
    {"copy fails", [] { kwTestHooks::FailNextSaveDataCopies(1); }, kwERROR_COPY_SAVEDATA_FAILED},
};

TEST_F(DiscTemplate, AssignmentFailuresReachTheGlobalManager) {
  const SAVEDATA data = Pattern(13), old = Pattern(14);
  for (const AssignmentFailure& row : kAssignmentFailures) {
    SCOPED_TRACE(row.condition);
    Manager()->kwClearErrorInfo();
    auto source = Make(CkwDiscFormat::kwDISC_FORMAT_BLU_RAY, false, &data);
    auto target = Make(CkwDiscFormat::kwDISC_FORMAT_VCD, true, &old);
    row.force();
    *target = *source;
    ASSERT_EQ(Reports(), 1u);
    EXPECT_TRUE(kwIsFailure(LastReport(), {row.code, kwSEVERITY_ERROR, 4, kSource}));
    // Old format and mode, no record.
    EXPECT_EQ(RecordOf(*target), nullptr);
    EXPECT_EQ(FormatOf(*target), CkwDiscFormat::kwDISC_FORMAT_VCD);
    EXPECT_TRUE(ModeOf(*target));
    EXPECT_EQ(std::memcmp(RecordOf(*source), &data, sizeof data), 0);
  }
}

TEST_F(DiscTemplate, FailedClearOfTheOldRecordStopsTheAssignment) {
  const SAVEDATA data = Pattern(15), old = Pattern(16);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_BLU_RAY, false, &data);
  auto target = Make(CkwDiscFormat::kwDISC_FORMAT_VCD, true, &old);
  SAVEDATA* held = RecordOf(*target);
  kwTestHooks::FailNextSaveDataClears(1);
  *target = *source;
  ASSERT_EQ(Reports(), 1u);
  EXPECT_TRUE(
      kwIsFailure(LastReport(), {kwERROR_CLEAR_SAVEDATA_FAILED, kwSEVERITY_ERROR, 4, kSource}));
  EXPECT_EQ(RecordOf(*target), held);  // kept, in whatever state the clear left it
  EXPECT_EQ(FormatOf(*target), CkwDiscFormat::kwDISC_FORMAT_VCD);
  EXPECT_TRUE(ModeOf(*target));
}

TEST_F(DiscTemplate, CopyConstructionFailuresReachTheGlobalManager) {
  const SAVEDATA data = Pattern(17);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_SVCD, false, &data);
  kwTestHooks::FailNextSaveDataCopies(1);
  CkwDiscTemplateSettings copy(*source);
  ASSERT_EQ(Reports(), 1u);
  EXPECT_TRUE(
      kwIsFailure(LastReport(), {kwERROR_COPY_SAVEDATA_FAILED, kwSEVERITY_ERROR, 4, kSource}));
  EXPECT_EQ(RecordOf(copy), nullptr);
  EXPECT_EQ(FormatOf(copy), CkwDiscFormat::kwDISC_FORMAT_SVCD);
}

TEST_F(DiscTemplate, NothingIsReportedWhileTheManagerIsOff) {
  const SAVEDATA data = Pattern(18);
  auto source = Make(CkwDiscFormat::kwDISC_FORMAT_DVD, true, &data);
  CkwDiscTemplateSettings target;
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(false);
  kwTestHooks::FailNextSaveDataCopies(1);
  target = *source;  // fails quietly
  CkwGlobalErrorManager::kwEnableGlobalErrorManager(true);
  EXPECT_EQ(Reports(), 0u);
  EXPECT_EQ(RecordOf(target), nullptr);
}

}  // namespace
