#include <kwcore/CkwDiscTemplateSettings.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"
#include "support/kwSaveDataDouble.h"

namespace {

const GUID kSource = {0xDCC94BD0, 0x9928, 0x4F3F, {0x98, 0x48, 0x6E, 0xE9, 0xEF, 0x61, 0x75, 0x96}};
using Settings = CkwDiscTemplateSettings;
using Format = CkwDiscFormat::kwDiscFormat;

SAVEDATA Pattern(BYTE seed) {
  SAVEDATA data;
  for (std::size_t i = 0; i < sizeof data.abData; ++i) data.abData[i] = BYTE(seed + i * 7 + 1);
  return data;
}
SAVEDATA* RecordOf(Settings& s) {
  SAVEDATA* record = reinterpret_cast<SAVEDATA*>(&s);  // must be overwritten
  EXPECT_TRUE(s.kwGetVIOSaveData(&record, nullptr));
  return record;
}
// The object holds a record of its own with the bytes of `data`.
bool Holds(Settings& s, const SAVEDATA& data) {
  const SAVEDATA* held = RecordOf(s);
  return held != nullptr && held != &data && std::memcmp(held, &data, sizeof data) == 0;
}
std::pair<int, bool> State(const Settings& s) {
  return {kwRead(s, &Settings::kwGetDiscFormat), kwRead(s, &Settings::kwIsVCDCompliantModeEnabled)};
}
std::unique_ptr<Settings> Make(int format, bool mode, const SAVEDATA* data) {
  auto s = std::make_unique<Settings>();
  EXPECT_TRUE(s->kwSetDiscFormat(Format(format), nullptr) &&
              s->kwEnableVCDCompliantMode(mode, nullptr));
  EXPECT_TRUE(data == nullptr || s->kwSetVIOSaveData(data, nullptr));
  return s;
}
int Clears() { return kwTest::SaveDataCallsMade().clears; }
int Copies() { return kwTest::SaveDataCallsMade().copies; }
CkwGlobalErrorManager* Manager() { return CkwGlobalErrorManager::kwGetGlobalErrorManager(); }

#define ROW(call, code, method) kwFAILURE_ROW(Settings, #call, call, code, kwSEVERITY_ERROR, method)
const kwFailureRow<Settings> kFailures[] = {
    ROW(o.kwSetDiscFormat(Format(7), e), kwERROR_OUT_OF_RANGE, 0),
    ROW(o.kwSetDiscFormat(Format(INT_MAX), e), kwERROR_OUT_OF_RANGE, 0),
    ROW(o.kwGetDiscFormat(nullptr, e), kwERROR_NULL_POINTER, 1),
    ROW(o.kwSetVIOSaveData(nullptr, e), kwERROR_NULL_POINTER, 2),
    ROW(o.kwGetVIOSaveData(nullptr, e), kwERROR_NULL_POINTER, 3),
    ROW(o.kwIsVCDCompliantModeEnabled(nullptr, e), kwERROR_NULL_POINTER, 6),
};

TEST(DiscTemplate, DefaultsFormatRangeAndFailureTable) {
  Settings s;
  EXPECT_EQ(State(s), std::make_pair(0, true));
  for (int value : {6, -1, INT_MIN, 3}) {  // only the top of the range is checked
    CkwErrorInfo set = kwStaleRecord(), mode = kwStaleRecord();
    EXPECT_TRUE(s.kwSetDiscFormat(Format(value), &set) && s.kwEnableVCDCompliantMode(false, &mode));
    for (const CkwErrorInfo& error : {set, mode})
      EXPECT_TRUE(error.m_nSeverity == kwSEVERITY_NONE && *error.m_pSource == kSource);
    EXPECT_EQ(State(s), std::make_pair(value, false));
  }
  static const SAVEDATA data = Pattern(3);
  kwRunFailureTable(
      kFailures, kSource, [] { return Make(2, false, &data); },
      [](Settings& s) {
        EXPECT_EQ(State(s), std::make_pair(2, false));
        EXPECT_TRUE(Holds(s, data));
      });
}

TEST(DiscTemplate, EveryByteCountsAndSettingAgainReusesTheBlock) {
  for (int index : {-1, 0, 443}) {  // all zero: held without Nubra's copy
    Settings s;
    SAVEDATA data{};
    if (index >= 0) data.abData[index] = 0x5A;
    const int copies = Copies();
    ASSERT_TRUE(s.kwSetVIOSaveData(&data, nullptr));
    EXPECT_EQ(Copies() - copies, index >= 0 ? 1 : 0) << index;
    EXPECT_TRUE(Holds(s, data)) << index;
  }
  const SAVEDATA first = Pattern(1), second = Pattern(2), zero{};
  auto s = Make(0, true, &first);
  SAVEDATA* held = RecordOf(*s);
  const int clears = Clears();
  ASSERT_TRUE(s->kwSetVIOSaveData(&second, nullptr));
  EXPECT_EQ(Clears() - clears, 1);
  EXPECT_EQ(RecordOf(*s), held);
  ASSERT_TRUE(s->kwSetVIOSaveData(held, nullptr));  // its own record: kept
  EXPECT_TRUE(Holds(*s, second));
  ASSERT_TRUE(s->kwSetVIOSaveData(&zero, nullptr));
  EXPECT_TRUE(RecordOf(*s) == held && std::memcmp(held, &zero, sizeof zero) == 0);
  s.reset();
  EXPECT_EQ(Clears() - clears, 3);  // the zero record and the end clear too
}

// Failures of set, assignment (A) and copy construction (C): set reports in its record, the
// others to the global manager; a failed clear keeps the old record, assignment the old format.
TEST(DiscTemplate, FailuresOfNubraAndMemory) {
  struct Case {
    char how;  // 'S', 'A' or 'C'
    void (*force)();
    std::int32_t code;
    bool kept;
  } const cases[] = {
      {'S', [] { kwTest::FailNextSaveDataClears(1); }, kwERROR_CLEAR_SAVEDATA_FAILED, true},
      {'S', [] { kwTest::FailNextSaveDataCopies(1); }, kwERROR_COPY_SAVEDATA_FAILED, false},
      {'S', [] { kwTest::FailAllocation(1); }, kwERROR_OUT_OF_MEMORY, false},
      {'A', [] { kwTest::FailNextSaveDataCopies(1); }, kwERROR_COPY_SAVEDATA_FAILED, false},
      {'A', [] { kwTest::FailNextSaveDataClears(1); }, kwERROR_CLEAR_SAVEDATA_FAILED, true},
      {'C', [] { kwTest::FailNextSaveDataCopies(1); }, kwERROR_COPY_SAVEDATA_FAILED, false},
  };
  const SAVEDATA data = Pattern(13), old = Pattern(14);
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Manager()->kwClearErrorInfo();
    auto source = Make(5, false, &data);
    auto target = Make(1, true, c.how == 'S' && c.code == kwERROR_OUT_OF_MEMORY ? nullptr : &old);
    SAVEDATA* held = RecordOf(*target);
    CkwErrorInfo error;
    c.force();
    if (c.how == 'S') {
      EXPECT_FALSE(target->kwSetVIOSaveData(&data, &error));
      EXPECT_EQ(Manager()->kwGetTotalErrorCount(), 0u);
    } else {
      if (c.how == 'C') target = std::make_unique<Settings>(*source);
      if (c.how == 'A') *target = *source;
      ASSERT_EQ(Manager()->kwGetTotalErrorCount(), 1u);
      EXPECT_TRUE(Manager()->kwGetLastErrorInfo(&error));
    }
    EXPECT_TRUE(kwIsFailure(error, {c.code, kwSEVERITY_ERROR, c.how == 'S' ? 2 : 4, kSource}));
    EXPECT_EQ(RecordOf(*target), c.kept ? held : nullptr);
    EXPECT_EQ(State(*target), c.how == 'C' ? State(*source) : std::make_pair(1, true));
    ASSERT_TRUE(target->kwSetVIOSaveData(&data, nullptr));  // usable again
    EXPECT_TRUE(Holds(*target, data) && Holds(*source, data));
  }
}

TEST(DiscTemplate, CopiesAreDeepAndIndependent) {
  const SAVEDATA data = Pattern(8), old = Pattern(9);
  Manager()->kwClearErrorInfo();
  auto source = Make(4, false, &data);
  auto target = Make(1, true, &old);
  const int clears = Clears(), copies = Copies();
  *target = *source;
  EXPECT_EQ(Clears() - clears, 1);  // the old record
  EXPECT_EQ(Copies() - copies, 1);
  auto copy = std::make_unique<Settings>(*source);
  source.reset();
  EXPECT_EQ(State(*target), std::make_pair(4, false));
  EXPECT_TRUE(Holds(*target, data) && Holds(*copy, data) && RecordOf(*target) != RecordOf(*copy));
  SAVEDATA* held = RecordOf(*target);
  Settings& alias = *target;
  *target = alias;  // self-assignment keeps everything
  EXPECT_TRUE(RecordOf(*target) == held && Holds(*target, data));
  // Only the bytes after the first four decide whether a source record is empty.
  SAVEDATA head{};
  head.abData[0] = 1;
  head.abData[3] = 0xFF;
  ASSERT_TRUE(copy->kwSetVIOSaveData(&head, nullptr) && Holds(*copy, head));
  *target = *copy;
  Settings copied(*copy);
  const SAVEDATA zero{};
  EXPECT_TRUE(Holds(*target, zero) && Holds(copied, zero));
  Settings none;  // from an object without a record: the old record goes
  *target = none;
  Settings fromNone(none);
  EXPECT_TRUE(RecordOf(*target) == nullptr && RecordOf(fromNone) == nullptr);
  EXPECT_EQ(Manager()->kwGetTotalErrorCount(), 0u);
}

}  // namespace
