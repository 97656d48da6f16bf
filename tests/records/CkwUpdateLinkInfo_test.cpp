#include <kwcore/CkwUpdateLinkInfo.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

const GUID kInfoSource = {
    0x26E764E8, 0x835B, 0x4AB2, {0xB1, 0x19, 0xCE, 0x8B, 0x3B, 0x1E, 0x17, 0xC3}};
const GUID kListSource = {
    0x1205DD9A, 0xA974, 0x4E18, {0x9E, 0xA3, 0xE7, 0x25, 0xFA, 0x81, 0x29, 0xB0}};
const GUID kStrListSource = {
    0xACD6D56A, 0x9C56, 0x4156, {0xB7, 0x6A, 0x0A, 0xDF, 0x45, 0x2A, 0x9B, 0x09}};

const GUID kItemA = {0xA0000001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kItemB = {0xB0000002, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

static_assert(!std::is_copy_constructible_v<CkwUpdateLinkInfo>);
static_assert(!std::is_copy_assignable_v<CkwUpdateLinkInfo>);
static_assert(!std::is_copy_constructible_v<CkwUpdateLinkFileList>);
static_assert(!std::is_copy_assignable_v<CkwUpdateLinkFileList>);

std::unique_ptr<CkwUpdateLinkInfo> MakeRecord(
    const GUID& id, std::initializer_list<std::pair<const char*, const char*>> pairs) {
  auto record = std::make_unique<CkwUpdateLinkInfo>();
  EXPECT_TRUE(record->kwSetDVDItemID(&id, nullptr));
  for (const auto& [first, second] : pairs)
    EXPECT_TRUE(record->kwAddFilePair(first, second, nullptr));
  return record;
}

auto PairCount(const CkwUpdateLinkInfo& r) { return kwRead(r, &CkwUpdateLinkInfo::kwGetItemCount); }

std::pair<std::string, std::string> PairAt(const CkwUpdateLinkInfo& record, std::int32_t index) {
  const char* first = nullptr;
  const char* second = nullptr;
  EXPECT_TRUE(record.kwGetFilePairByItemIndex(index, &first, &second, nullptr));
  return {first ? first : "(null)", second ? second : "(null)"};
}

using Pair = std::pair<std::string, std::string>;

// Scratch out-pointers for the rows.
const char* gFirst;
const char* gSecond;
CkwUpdateLinkInfo* gRecord;
CkwUpdateLinkInfo kStale;  // must not come back from a failed search

#define ROW(call, code, method) \
  kwFAILURE_ROW(CkwUpdateLinkInfo, #call, call, code, kwSEVERITY_ERROR, method)
// The record holds one pair when each row runs.
const kwFailureRow<CkwUpdateLinkInfo> kInfoFailures[] = {
    ROW(o.kwAddFilePair(nullptr, "b", e), kwERROR_NULL_POINTER, 0),
    ROW(o.kwAddFilePair("a", nullptr, e), kwERROR_NULL_POINTER, 0),
    ROW(o.kwGetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 1),
    ROW(o.kwSetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 2),
    ROW(o.kwGetFilePairByItemIndex(-1, &gFirst, &gSecond, e), kwERROR_OUT_OF_RANGE, 3),
    // The index is tested before the out-pointers.
    ROW(o.kwGetFilePairByItemIndex(1, nullptr, nullptr, e), kwERROR_OUT_OF_RANGE, 3),
    ROW(o.kwGetFilePairByItemIndex(0, nullptr, &gSecond, e), kwERROR_NULL_POINTER, 3),
    ROW(o.kwGetFilePairByItemIndex(0, &gFirst, nullptr, e), kwERROR_NULL_POINTER, 3),
    ROW(o.kwGetItemCount(nullptr, e), kwERROR_NULL_POINTER, 4),
};
#undef ROW

TEST(CkwUpdateLinkInfo, FailureTable) {
  kwRunFailureTable(
      kInfoFailures, kInfoSource,
      [] {
        return MakeRecord(kItemA, {{"old.mpg", "new.mpg"}});
      },
      [](CkwUpdateLinkInfo& record) {
        // Nothing added: a half pair would show up as a second pair here.
        ASSERT_EQ(PairCount(record), 1);
        EXPECT_EQ(PairAt(record, 0), Pair("old.mpg", "new.mpg"));
      });
}

TEST(CkwUpdateLinkInfo, PairsComeBackInOrderAsGivenFromTheirOwnCopies) {
  CkwUpdateLinkInfo record;
  EXPECT_EQ(PairCount(record), 0);
  EXPECT_EQ(kwRead(record, &CkwUpdateLinkInfo::kwGetDVDItemID), GUID_NULL);
  char first[] = "C:/old/title.mpg";
  char second[] = "C:/new/title.mpg";
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(record.kwAddFilePair(first, second, &error));
  EXPECT_EQ(*error.m_pSource, kStrListSource);  // successful calls end in the string list
  ASSERT_TRUE(record.kwGetFilePairByItemIndex(0, &gFirst, &gSecond, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  first[0] = second[0] = 'X';
  const Pair pairs[] = {{"a", "b"}, {"b", "a"}, {"", ""}, {"same", "same"}, {"a", "b"}};
  for (const Pair& p : pairs)
    ASSERT_TRUE(record.kwAddFilePair(p.first.c_str(), p.second.c_str(), nullptr));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(record.kwAddFilePair(first, second, nullptr));
  std::int32_t count = 0;
  ASSERT_TRUE(record.kwGetItemCount(&count, &error));
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  EXPECT_EQ(count, 1006);
  for (std::int32_t i = 0; i < 5; ++i) EXPECT_EQ(PairAt(record, i + 1), pairs[i]) << i;
  EXPECT_STREQ(gFirst, "C:/old/title.mpg");  // growth moved no stored name
  EXPECT_STREQ(gSecond, "C:/new/title.mpg");
}

TEST(CkwUpdateLinkInfo, OutOfMemoryOnEitherNameAddsNothing) {
  CkwUpdateLinkInfo record;
  bool added = false;
  // Each allocation fails in turn, the second name's among them.
  for (int n = 1; !added && n < 50; ++n) {
    CkwErrorInfo error;
    kwTest::FailAllocation(n);
    added = record.kwAddFilePair("first", "second", &error);
    kwTest::FailAllocation(0);
    if (!added) {
      EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
      EXPECT_EQ(PairCount(record), 0);
    }
  }
  ASSERT_TRUE(added);
  EXPECT_EQ(PairAt(record, 0), Pair("first", "second"));
}

#define ROW(call, code, severity, method) \
  kwFAILURE_ROW(CkwUpdateLinkFileList, #call, call, code, severity, method)
const kwFailureRow<CkwUpdateLinkFileList> kListFailures[] = {
    ROW(o.kwAddUpdateLinkInfo(nullptr, e), kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 0),
    ROW(o.kwFindUpdateLinkInfoByDVDItemID(nullptr, &gRecord, e), kwERROR_NULL_POINTER,
        kwSEVERITY_ERROR, 1),
    ROW(o.kwFindUpdateLinkInfoByDVDItemID(&kItemA, nullptr, e), kwERROR_NULL_POINTER,
        kwSEVERITY_ERROR, 1),
    // An absent ID warns and hands back null.
    ROW((gRecord = &kStale, o.kwFindUpdateLinkInfoByDVDItemID(&GUID_NULL, &gRecord, e) || gRecord),
        kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1),
};
#undef ROW

TEST(CkwUpdateLinkFileList, FailureTable) {
  kwRunFailureTable(
      kListFailures, kListSource,
      [] {
        auto list = std::make_unique<CkwUpdateLinkFileList>();
        EXPECT_TRUE(list->kwAddUpdateLinkInfo(MakeRecord(kItemA, {}).release(), nullptr));
        return list;
      },
      [](CkwUpdateLinkFileList&) {});
  CkwUpdateLinkFileList empty;  // searching an empty list warns too
  CkwErrorInfo error;
  gRecord = &kStale;
  EXPECT_FALSE(empty.kwFindUpdateLinkInfoByDVDItemID(&kItemA, &gRecord, &error));
  EXPECT_EQ(gRecord, nullptr);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1, kListSource}));
}

TEST(CkwUpdateLinkFileList, FindReturnsTheFirstOfEqualIDsAndOwnsThem) {
  CkwUpdateLinkFileList list;
  CkwUpdateLinkInfo* first = MakeRecord(kItemA, {{"1", "1"}}).release();
  CkwUpdateLinkInfo* other = MakeRecord(kItemB, {}).release();
  CkwUpdateLinkInfo* second = MakeRecord(kItemA, {{"2", "2"}}).release();
  for (CkwUpdateLinkInfo* r : {first, other, second})
    ASSERT_TRUE(list.kwAddUpdateLinkInfo(r, nullptr));
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(list.kwFindUpdateLinkInfoByDVDItemID(&kItemA, &gRecord, &error));
  EXPECT_EQ(gRecord, first);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  ASSERT_TRUE(list.kwFindUpdateLinkInfoByDVDItemID(&kItemB, &gRecord, nullptr));
  EXPECT_EQ(gRecord, other);
  // All three are freed with the list (ASan checks).
}

}  // namespace
