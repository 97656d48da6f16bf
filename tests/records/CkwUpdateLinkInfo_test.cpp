#include <kwcore/CkwUpdateLinkInfo.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "core/kwTestHooks.h"
#include "support/kwExpectFailure.h"

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

std::int32_t PairCount(const CkwUpdateLinkInfo& record) {
  std::int32_t count = -1;
  EXPECT_TRUE(record.kwGetItemCount(&count, nullptr));
  return count;
}

std::pair<std::string, std::string> PairAt(const CkwUpdateLinkInfo& record, std::int32_t index) {
  const char* first = nullptr;
  const char* second = nullptr;
  EXPECT_TRUE(record.kwGetFilePairByItemIndex(index, &first, &second, nullptr));
  return {first ? first : "(null)", second ? second : "(null)"};
}

TEST(CkwUpdateLinkInfo, NewRecordIsEmptyWithZeroID) {
  CkwUpdateLinkInfo record;
  EXPECT_EQ(PairCount(record), 0);
  GUID id = kItemA;
  ASSERT_TRUE(record.kwGetDVDItemID(&id, nullptr));
  EXPECT_EQ(id, GUID_NULL);
}

struct InfoFailure {
  const char* condition;
  bool (*call)(CkwUpdateLinkInfo&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t method;
};

// The record holds one pair when each row runs.
const InfoFailure kInfoFailures[] = {
    {"first name null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) { return r.kwAddFilePair(nullptr, "b", e); },
     kwERROR_NULL_POINTER, 0},
    {"only the second name null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) { return r.kwAddFilePair("a", nullptr, e); },
     kwERROR_NULL_POINTER, 0},
    {"get ID into null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) { return r.kwGetDVDItemID(nullptr, e); },
     kwERROR_NULL_POINTER, 1},
    {"set ID from null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) { return r.kwSetDVDItemID(nullptr, e); },
     kwERROR_NULL_POINTER, 2},
    {"read index -1",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) {
       const char *a, *b;
       return r.kwGetFilePairByItemIndex(-1, &a, &b, e);
     },
     kwERROR_OUT_OF_RANGE, 3},
    {"read index == count with both out pointers null (index tested first)",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) {
       return r.kwGetFilePairByItemIndex(1, nullptr, nullptr, e);
     },
     kwERROR_OUT_OF_RANGE, 3},
    {"first out null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) {
       const char* b;
       return r.kwGetFilePairByItemIndex(0, nullptr, &b, e);
     },
     kwERROR_NULL_POINTER, 3},
    {"second out null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) {
       const char* a;
       return r.kwGetFilePairByItemIndex(0, &a, nullptr, e);
     },
     kwERROR_NULL_POINTER, 3},
    {"count into null",
     [](CkwUpdateLinkInfo& r, CkwErrorInfo* e) { return r.kwGetItemCount(nullptr, e); },
     kwERROR_NULL_POINTER, 4},
};

TEST(CkwUpdateLinkInfo, FailureTable) {
  for (const InfoFailure& row : kInfoFailures) {
    SCOPED_TRACE(row.condition);
    auto record = MakeRecord(kItemA, {{"old.mpg", "new.mpg"}});
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(*record, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, kwSEVERITY_ERROR, row.method, kInfoSource}));
    EXPECT_FALSE(row.call(*record, nullptr));
    // Nothing added: a half pair would show up as a second pair here.
    ASSERT_EQ(PairCount(*record), 1);
    EXPECT_EQ(PairAt(*record, 0), std::make_pair(std::string("old.mpg"), std::string("new.mpg")));
  }
}

TEST(CkwUpdateLinkInfo, PairsComeBackInOrderAsGiven) {
  auto record =
      MakeRecord(kItemA, {{"a", "b"}, {"b", "a"}, {"", ""}, {"same", "same"}, {"a", "b"}});
  ASSERT_EQ(PairCount(*record), 5);
  const std::pair<std::string, std::string> expected[] = {
      {"a", "b"}, {"b", "a"}, {"", ""}, {"same", "same"}, {"a", "b"}};
  for (std::int32_t i = 0; i < 5; ++i) EXPECT_EQ(PairAt(*record, i), expected[i]) << i;
}

TEST(CkwUpdateLinkInfo, NamesAreCopiedAndStayPut) {
  CkwUpdateLinkInfo record;
  char first[] = "C:/old/title.mpg";
  char second[] = "C:/new/title.mpg";
  ASSERT_TRUE(record.kwAddFilePair(first, second, nullptr));
  const char* a = nullptr;
  const char* b = nullptr;
  ASSERT_TRUE(record.kwGetFilePairByItemIndex(0, &a, &b, nullptr));
  first[0] = second[0] = 'X';
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(record.kwAddFilePair(first, second, nullptr));
  EXPECT_STREQ(a, "C:/old/title.mpg");
  EXPECT_STREQ(b, "C:/new/title.mpg");
}

TEST(CkwUpdateLinkInfo, SuccessfulCallsLeaveTheStringListAsSource) {
  auto record = MakeRecord(kItemA, {{"a", "b"}});
  CkwErrorInfo error = kwStaleRecord();
  const char* a = nullptr;
  const char* b = nullptr;
  ASSERT_TRUE(record->kwGetFilePairByItemIndex(0, &a, &b, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  error = kwStaleRecord();
  std::int32_t count = 0;
  ASSERT_TRUE(record->kwGetItemCount(&count, &error));
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  error = kwStaleRecord();
  ASSERT_TRUE(record->kwAddFilePair("c", "d", &error));
  EXPECT_EQ(*error.m_pSource, kStrListSource);
}

TEST(CkwUpdateLinkInfo, OutOfMemoryOnTheSecondNameAddsNothing) {
  CkwUpdateLinkInfo record;
  CkwErrorInfo error;
  kwTestHooks::FailAllocationsAfter(1, 1);  // the first name's copy succeeds
  EXPECT_FALSE(record.kwAddFilePair("first", "second", &error));
  kwTestHooks::FailNextAllocations(0);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  EXPECT_EQ(PairCount(record), 0);
  ASSERT_TRUE(record.kwAddFilePair("x", "y", nullptr));
  EXPECT_EQ(PairAt(record, 0), std::make_pair(std::string("x"), std::string("y")));
}

struct ListFailure {
  const char* condition;
  bool (*call)(CkwUpdateLinkFileList&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t severity;
  std::int32_t method;
};

const ListFailure kListFailures[] = {
    {"add null record",
     [](CkwUpdateLinkFileList& l, CkwErrorInfo* e) { return l.kwAddUpdateLinkInfo(nullptr, e); },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 0},
    {"find with null ID",
     [](CkwUpdateLinkFileList& l, CkwErrorInfo* e) {
       CkwUpdateLinkInfo* r;
       return l.kwFindUpdateLinkInfoByDVDItemID(nullptr, &r, e);
     },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 1},
    {"find into null",
     [](CkwUpdateLinkFileList& l, CkwErrorInfo* e) {
       return l.kwFindUpdateLinkInfoByDVDItemID(&kItemA, nullptr, e);
     },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 1},
    {"find an absent ID",
     [](CkwUpdateLinkFileList& l, CkwErrorInfo* e) {
       CkwUpdateLinkInfo* r = reinterpret_cast<CkwUpdateLinkInfo*>(&l);
       bool ok = l.kwFindUpdateLinkInfoByDVDItemID(&GUID_NULL, &r, e);
       EXPECT_EQ(r, nullptr);
       return ok;
     },
     kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1},
};

TEST(CkwUpdateLinkFileList, FailureTable) {
  for (const ListFailure& row : kListFailures) {
    SCOPED_TRACE(row.condition);
    CkwUpdateLinkFileList list;
    ASSERT_TRUE(list.kwAddUpdateLinkInfo(MakeRecord(kItemA, {}).release(), nullptr));
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(list, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, row.severity, row.method, kListSource}));
    EXPECT_FALSE(row.call(list, nullptr));
  }
}

TEST(CkwUpdateLinkFileList, SearchingAnEmptyListWarns) {
  CkwUpdateLinkFileList list;
  CkwUpdateLinkInfo* found = reinterpret_cast<CkwUpdateLinkInfo*>(&list);
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwFindUpdateLinkInfoByDVDItemID(&kItemA, &found, &error));
  EXPECT_EQ(found, nullptr);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1, kListSource}));
}

TEST(CkwUpdateLinkFileList, FindReturnsTheFirstOfEqualIDsAndOwnsThem) {
  CkwUpdateLinkFileList list;
  CkwUpdateLinkInfo* first = MakeRecord(kItemA, {{"1", "1"}}).release();
  CkwUpdateLinkInfo* other = MakeRecord(kItemB, {}).release();
  CkwUpdateLinkInfo* second = MakeRecord(kItemA, {{"2", "2"}}).release();
  for (CkwUpdateLinkInfo* r : {first, other, second})
    ASSERT_TRUE(list.kwAddUpdateLinkInfo(r, nullptr));
  CkwUpdateLinkInfo* found = nullptr;
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(list.kwFindUpdateLinkInfoByDVDItemID(&kItemA, &found, &error));
  EXPECT_EQ(found, first);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  ASSERT_TRUE(list.kwFindUpdateLinkInfoByDVDItemID(&kItemB, &found, nullptr));
  EXPECT_EQ(found, other);
  // All three are freed with the list (ASan checks).
}

}  // namespace
