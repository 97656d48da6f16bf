#include <kwcore/CkwCheckLinkInfo.h>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

const GUID kInfoSource = {
    0xE4AD958A, 0x9A9B, 0x47C9, {0x9C, 0x6D, 0xB3, 0xB7, 0xC9, 0x0B, 0xAD, 0x37}};
const GUID kListSource = {
    0xE74D26FB, 0x0860, 0x4CCD, {0xA3, 0x54, 0x7A, 0x05, 0xE9, 0x4C, 0x4A, 0x85}};
const GUID kStrListSource = {
    0xACD6D56A, 0x9C56, 0x4156, {0xB7, 0x6A, 0x0A, 0xDF, 0x45, 0x2A, 0x9B, 0x09}};

const GUID kItemA = {0xA0000001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kItemB = {0xB0000002, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kItemC = {0xA0000001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 9}};  // last byte differs

using Type = CkwCheckLinkInfo::kwFileType;

// Scratch out-pointers for the rows.
const char* gName;
CkwCheckLinkInfo kStale;  // must not come back from a failed search
Type gType;
CkwCheckLinkInfo* gRecord;

static_assert(!std::is_copy_constructible_v<CkwCheckLinkInfo>);
static_assert(!std::is_copy_assignable_v<CkwCheckLinkInfo>);
static_assert(!std::is_copy_constructible_v<CkwCheckLinkFileList>);
static_assert(!std::is_copy_assignable_v<CkwCheckLinkFileList>);
static_assert(sizeof(Type) == 4 && std::is_signed_v<std::underlying_type_t<Type>>);

std::unique_ptr<CkwCheckLinkInfo> MakeRecord(
    const GUID& id, std::initializer_list<std::pair<const char*, int>> items) {
  auto record = std::make_unique<CkwCheckLinkInfo>();
  EXPECT_TRUE(record->kwSetDVDItemID(&id, nullptr));
  for (const auto& [name, type] : items)
    EXPECT_TRUE(record->kwAddFileName(name, static_cast<Type>(type), nullptr));
  return record;
}

std::pair<std::string, int> ItemAt(const CkwCheckLinkInfo& record, std::int32_t index) {
  const char* name = nullptr;
  Type type{};
  EXPECT_TRUE(record.kwGetFileNameByItemIndex(index, &name, &type, nullptr));
  return {name != nullptr ? name : "(null)", static_cast<int>(type)};
}

auto ItemCount(const CkwCheckLinkInfo& r) { return kwRead(r, &CkwCheckLinkInfo::kwGetItemCount); }
auto IDOf(const CkwCheckLinkInfo& r) { return kwRead(r, &CkwCheckLinkInfo::kwGetDVDItemID); }
auto RecordCount(const CkwCheckLinkFileList& l) {
  return kwRead(l, &CkwCheckLinkFileList::kwGetCount);
}

CkwCheckLinkInfo* RecordAt(CkwCheckLinkFileList& list, std::int32_t index) {
  CkwCheckLinkInfo* record = nullptr;
  EXPECT_TRUE(list.kwGetCheckLinkInfo(index, &record, nullptr));
  return record;
}

// A list owning the given records.
std::unique_ptr<CkwCheckLinkFileList> MakeList(std::initializer_list<CkwCheckLinkInfo*> records) {
  auto list = std::make_unique<CkwCheckLinkFileList>();
  for (CkwCheckLinkInfo* record : records) EXPECT_TRUE(list->kwAddCheckLinkInfo(record, nullptr));
  return list;
}

// Same ID and the same items in the same order, held in separate copies.
void ExpectDeepCopy(const CkwCheckLinkInfo& original, const CkwCheckLinkInfo& copy) {
  ASSERT_NE(&original, &copy);
  EXPECT_EQ(IDOf(original), IDOf(copy));
  ASSERT_EQ(ItemCount(original), ItemCount(copy));
  for (std::int32_t i = 0; i < ItemCount(original); ++i) {
    EXPECT_EQ(ItemAt(original, i), ItemAt(copy, i));
    const char *a = nullptr, *b = nullptr;
    ASSERT_TRUE(original.kwGetFileNameByItemIndex(i, &a, &gType, nullptr));
    ASSERT_TRUE(copy.kwGetFileNameByItemIndex(i, &b, &gType, nullptr));
    EXPECT_NE(a, b);
  }
}

// ---------------------------------------------------------------------------
// The record

#define ROW(call, code, method) \
  kwFAILURE_ROW(CkwCheckLinkInfo, #call, call, code, kwSEVERITY_ERROR, method)
// The record holds one item when each row runs.
const kwFailureRow<CkwCheckLinkInfo> kInfoFailures[] = {
    ROW(o.kwGetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 0),
    ROW(o.kwSetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 1),
    ROW(o.kwClone(nullptr, e), kwERROR_NULL_POINTER, 2),
    ROW(o.kwAddFileName(nullptr, CkwCheckLinkInfo::kwFILE_TYPE_VIDEO, e), kwERROR_NULL_POINTER, 3),
    ROW(o.kwGetFileNameByItemIndex(-1, &gName, &gType, e), kwERROR_OUT_OF_RANGE, 4),
    ROW(o.kwGetFileNameByItemIndex(1, &gName, &gType, e), kwERROR_OUT_OF_RANGE, 4),
    // The index is tested before the out-pointers.
    ROW(o.kwGetFileNameByItemIndex(1, nullptr, nullptr, e), kwERROR_OUT_OF_RANGE, 4),
    ROW(o.kwGetFileNameByItemIndex(0, nullptr, &gType, e), kwERROR_NULL_POINTER, 4),
    ROW(o.kwGetFileNameByItemIndex(0, &gName, nullptr, e), kwERROR_NULL_POINTER, 4),
    ROW(o.kwGetItemCount(nullptr, e), kwERROR_NULL_POINTER, 5),
};
#undef ROW

TEST(CkwCheckLinkInfo, FailureTable) {
  kwRunFailureTable(
      kInfoFailures, kInfoSource,
      [] {
        return MakeRecord(kItemA, {{"a.mpg", CkwCheckLinkInfo::kwFILE_TYPE_VIDEO}});
      },
      [](CkwCheckLinkInfo& record) {
        EXPECT_EQ(ItemCount(record), 1);
        EXPECT_EQ(IDOf(record), kItemA);
      });
}

TEST(CkwCheckLinkInfo, ItemsComeBackInOrderWithTheirTypesUnchanged) {
  CkwCheckLinkInfo record;
  EXPECT_EQ(ItemCount(record), 0);
  EXPECT_EQ(IDOf(record), GUID_NULL);
  // Values no enumerator names are stored and returned as they are.
  const std::pair<std::string, int> items[] = {{"file0.vob", CkwCheckLinkInfo::kwFILE_TYPE_AUDIO},
                                               {"file1.vob", -1},
                                               {"file2.vob", INT_MIN},
                                               {"file3.vob", INT_MAX},
                                               {"file4.vob", 1000},
                                               {"", 0}};
  for (const auto& [name, type] : items)
    ASSERT_TRUE(record.kwAddFileName(name.c_str(), static_cast<Type>(type), nullptr));
  ASSERT_EQ(ItemCount(record), 6);
  for (std::int32_t i = 0; i < 6; ++i) EXPECT_EQ(ItemAt(record, i), items[i]);
  // Successful reads leave the string list as the source; the count is the record's own.
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(0, &gName, &gType, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  std::int32_t count = 0;
  ASSERT_TRUE(record.kwGetItemCount(&count, &error));
  EXPECT_EQ(*error.m_pSource, kInfoSource);
}

TEST(CkwCheckLinkInfo, NamesAreCopiedAndStayPut) {
  CkwCheckLinkInfo record;
  char buffer[] = "menu.png";
  ASSERT_TRUE(record.kwAddFileName(buffer, CkwCheckLinkInfo::kwFILE_TYPE_IMAGE, nullptr));
  const char* first = nullptr;
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(0, &first, &gType, nullptr));
  buffer[0] = 'X';
  for (int i = 0; i < 1000; ++i)  // growth moves no stored name
    ASSERT_TRUE(record.kwAddFileName(buffer, CkwCheckLinkInfo::kwFILE_TYPE_IMAGE, nullptr));
  EXPECT_STREQ(first, "menu.png");
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(0, &gName, &gType, nullptr));
  EXPECT_EQ(gName, first);
}

TEST(CkwCheckLinkInfo, CloneIsADeepCopyThatOutlivesTheOriginal) {
  std::unique_ptr<CkwCheckLinkInfo> originals[] = {
      MakeRecord(kItemA, {{"a.mpg", 3}, {"b.wav", -42}, {"", 2}}), MakeRecord(kItemB, {})};
  for (auto& original : originals) {
    CkwCheckLinkInfo* clone = nullptr;
    ASSERT_TRUE(original->kwClone(&clone, nullptr));
    ASSERT_NE(clone, nullptr);
    std::unique_ptr<CkwCheckLinkInfo> owned(clone);
    ExpectDeepCopy(*original, *clone);
    const std::int32_t count = ItemCount(*original);
    original.reset();
    if (count > 0) {
      EXPECT_EQ(ItemAt(*clone, 1), std::make_pair(std::string("b.wav"), -42));
    }
  }
}

TEST(CkwCheckLinkInfo, AllocationFailuresAreReportedWhereTheyHappen) {
  auto original = MakeRecord(kItemA, {{"a", 1}, {"b", 2}});
  // Each allocation of a clone fails in turn. The partial clone is gone (ASan
  // sees no leak), and code 1 comes from the method that allocated: the
  // clone's own record first, the copy of the second name (string list) last.
  std::vector<CkwErrorInfo> failures;
  CkwCheckLinkInfo* clone = original.get();
  bool cloned = false;
  for (int n = 1; !cloned && n < 50; ++n) {
    CkwErrorInfo error;
    kwTest::FailAllocation(n);
    cloned = original->kwClone(&clone, &error);
    kwTest::FailAllocation(0);
    if (!cloned) {
      EXPECT_EQ(clone, nullptr);
      failures.push_back(error);
    }
  }
  ASSERT_TRUE(cloned);
  delete clone;
  ASSERT_GE(failures.size(), 2u);
  EXPECT_TRUE(
      kwIsFailure(failures.front(), {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, kInfoSource}));
  EXPECT_TRUE(
      kwIsFailure(failures.back(), {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  EXPECT_EQ(ItemCount(*original), 2);
  // A failed add leaves no type without its name.
  CkwErrorInfo error;
  kwTest::FailAllocation(1);  // the name's copy: both arrays have room
  EXPECT_FALSE(original->kwAddFileName("c", CkwCheckLinkInfo::kwFILE_TYPE_AUDIO, &error));
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  ASSERT_TRUE(original->kwAddFileName("d", CkwCheckLinkInfo::kwFILE_TYPE_AUDIO, nullptr));
  EXPECT_EQ(ItemAt(*original, 2).first, "d");
}

// ---------------------------------------------------------------------------
// The list

#define ROW(call, code, severity, method) \
  kwFAILURE_ROW(CkwCheckLinkFileList, #call, call, code, severity, method)
// The list holds two records when each row runs.
const kwFailureRow<CkwCheckLinkFileList> kListFailures[] = {
    ROW(o.kwAddCheckLinkInfo(nullptr, e), kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 0),
    ROW(o.kwFindCheckLinkInfoByDVDItemID(nullptr, &gRecord, e), kwERROR_NULL_POINTER,
        kwSEVERITY_ERROR, 1),
    ROW(o.kwFindCheckLinkInfoByDVDItemID(&kItemA, nullptr, e), kwERROR_NULL_POINTER,
        kwSEVERITY_ERROR, 1),
    // An absent ID (one byte off) warns and hands back null.
    ROW((gRecord = &kStale, o.kwFindCheckLinkInfoByDVDItemID(&kItemC, &gRecord, e) || gRecord),
        kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1),
    ROW(o.kwMergeFileList(nullptr, e), kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 2),
    ROW(o.kwGetCount(nullptr, e), kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 3),
    ROW(o.kwGetCheckLinkInfo(0, nullptr, e), kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 4),
    // The out-pointer is tested before the index.
    ROW(o.kwGetCheckLinkInfo(2, nullptr, e), kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 4),
    ROW(o.kwGetCheckLinkInfo(-1, &gRecord, e), kwERROR_OUT_OF_RANGE, kwSEVERITY_ERROR, 4),
    ROW(o.kwGetCheckLinkInfo(2, &gRecord, e), kwERROR_OUT_OF_RANGE, kwSEVERITY_ERROR, 4),
};
#undef ROW

TEST(CkwCheckLinkFileList, FailureTable) {
  kwRunFailureTable(
      kListFailures, kListSource,
      [] {
        return MakeList(
            {MakeRecord(kItemA, {{"a", 1}}).release(), MakeRecord(kItemB, {}).release()});
      },
      [](CkwCheckLinkFileList& list) { EXPECT_EQ(RecordCount(list), 2); });
  CkwCheckLinkFileList empty;  // searching an empty list warns too
  EXPECT_EQ(RecordCount(empty), 0);
  CkwErrorInfo error;
  gRecord = &kStale;
  EXPECT_FALSE(empty.kwFindCheckLinkInfoByDVDItemID(&GUID_NULL, &gRecord, &error));
  EXPECT_EQ(gRecord, nullptr);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1, kListSource}));
}

TEST(CkwCheckLinkFileList, FindAndGetHandOutTheListsOwnRecords) {
  CkwCheckLinkInfo* first = MakeRecord(kItemA, {{"first", 1}}).release();
  CkwCheckLinkInfo* other = MakeRecord(kItemB, {}).release();
  CkwCheckLinkInfo* second = MakeRecord(kItemA, {{"second", 1}}).release();
  auto list = MakeList({first, other, second});
  ASSERT_TRUE(list->kwFindCheckLinkInfoByDVDItemID(&kItemA, &gRecord, nullptr));
  EXPECT_EQ(gRecord, first);  // the first match wins
  ASSERT_TRUE(list->kwFindCheckLinkInfoByDVDItemID(&kItemB, &gRecord, nullptr));
  EXPECT_EQ(gRecord, other);
  EXPECT_EQ(RecordAt(*list, 2), second);
}

TEST(CkwCheckLinkFileList, MergeCopiesDeeplyAndSurvivesTheSource) {
  auto target = MakeList({MakeRecord(kItemA, {{"mine", 1}}).release()});
  CkwCheckLinkFileList empty;
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_TRUE(target->kwMergeFileList(&empty, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_TRUE(empty.kwMergeFileList(&empty, nullptr));
  EXPECT_EQ(RecordCount(empty), 0);
  auto source = MakeList({MakeRecord(kItemA, {{"theirs", 3}}).release(),
                          MakeRecord(kItemB, {{"b1.mpg", 3}, {"b2.ac3", 1}}).release()});
  ASSERT_TRUE(target->kwMergeFileList(source.get(), &error));
  EXPECT_EQ(*error.m_pSource, kListSource);  // the last inner call was the append
  ASSERT_EQ(RecordCount(*target), 3);
  EXPECT_EQ(RecordCount(*source), 2);  // not changed
  for (std::int32_t i = 0; i < 2; ++i)
    ExpectDeepCopy(*RecordAt(*source, i), *RecordAt(*target, i + 1));
  source.reset();
  // A repeated ID is appended again; the search still finds the older record.
  ASSERT_TRUE(target->kwFindCheckLinkInfoByDVDItemID(&kItemA, &gRecord, nullptr));
  EXPECT_EQ(ItemAt(*gRecord, 0).first, "mine");
  EXPECT_EQ(ItemAt(*RecordAt(*target, 2), 1).first, "b2.ac3");
  // Into itself: every record once more.
  ASSERT_TRUE(target->kwMergeFileList(target.get(), nullptr));
  ASSERT_EQ(RecordCount(*target), 6);
  for (std::int32_t i = 0; i < 3; ++i)
    ExpectDeepCopy(*RecordAt(*target, i), *RecordAt(*target, i + 3));
}

TEST(CkwCheckLinkFileList, MergeStoppedPartWayKeepsWhatItAppended) {
  auto source = MakeList(
      {MakeRecord(kItemA, {{"a", 1}}).release(), MakeRecord(kItemB, {{"b", 1}}).release()});
  CkwCheckLinkFileList target;
  CkwErrorInfo error;
  // The first clone takes four allocations (record, type array, name array,
  // name) and the target's array a fifth; the second clone gets no record.
  kwTest::FailAllocation(6);
  EXPECT_FALSE(target.kwMergeFileList(source.get(), &error));
  kwTest::FailAllocation(0);
  // Reported by the clone, the inner call that failed.
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, kInfoSource}));
  ASSERT_EQ(RecordCount(target), 1);
  EXPECT_EQ(IDOf(*RecordAt(target, 0)), kItemA);
}

}  // namespace
