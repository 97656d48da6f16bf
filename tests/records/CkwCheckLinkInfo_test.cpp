#include <kwcore/CkwCheckLinkInfo.h>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <type_traits>

#include "core/kwTestHooks.h"
#include "support/kwExpectFailure.h"

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

std::int32_t ItemCount(const CkwCheckLinkInfo& record) {
  std::int32_t count = -1;
  EXPECT_TRUE(record.kwGetItemCount(&count, nullptr));
  return count;
}

std::int32_t RecordCount(const CkwCheckLinkFileList& list) {
  std::int32_t count = -1;
  EXPECT_TRUE(list.kwGetCount(&count, nullptr));
  return count;
}

GUID IDOf(const CkwCheckLinkInfo& record) {
  GUID id{};
  EXPECT_TRUE(record.kwGetDVDItemID(&id, nullptr));
  return id;
}

// Same ID and the same items in the same order, held in separate copies.
void ExpectDeepCopy(const CkwCheckLinkInfo& original, const CkwCheckLinkInfo& copy) {
  ASSERT_NE(&original, &copy);
  EXPECT_EQ(IDOf(original), IDOf(copy));
  ASSERT_EQ(ItemCount(original), ItemCount(copy));
  for (std::int32_t i = 0; i < ItemCount(original); ++i) {
    const char* a = nullptr;
    const char* b = nullptr;
    Type ta{}, tb{};
    ASSERT_TRUE(original.kwGetFileNameByItemIndex(i, &a, &ta, nullptr));
    ASSERT_TRUE(copy.kwGetFileNameByItemIndex(i, &b, &tb, nullptr));
    EXPECT_STREQ(a, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(ta, tb);
  }
}

// ---------------------------------------------------------------------------
// The record

TEST(CkwCheckLinkInfo, NewRecordIsEmptyWithZeroID) {
  CkwCheckLinkInfo record;
  EXPECT_EQ(ItemCount(record), 0);
  EXPECT_EQ(IDOf(record), GUID_NULL);
}

struct InfoFailure {
  const char* condition;
  bool (*call)(CkwCheckLinkInfo&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t method;
};

// The record holds one item when each row runs.
const InfoFailure kInfoFailures[] = {
    {"get ID into null",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) { return r.kwGetDVDItemID(nullptr, e); },
     kwERROR_NULL_POINTER, 0},
    {"set ID from null",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) { return r.kwSetDVDItemID(nullptr, e); },
     kwERROR_NULL_POINTER, 1},
    {"clone into null", [](CkwCheckLinkInfo& r, CkwErrorInfo* e) { return r.kwClone(nullptr, e); },
     kwERROR_NULL_POINTER, 2},
    {"add null name",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) {
       return r.kwAddFileName(nullptr, CkwCheckLinkInfo::kwFILE_TYPE_VIDEO, e);
     },
     kwERROR_NULL_POINTER, 3},
    {"read index -1",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) {
       const char* n;
       Type t;
       return r.kwGetFileNameByItemIndex(-1, &n, &t, e);
     },
     kwERROR_OUT_OF_RANGE, 4},
    {"read index == count",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) {
       const char* n;
       Type t;
       return r.kwGetFileNameByItemIndex(1, &n, &t, e);
     },
     kwERROR_OUT_OF_RANGE, 4},
    {"bad index with both out pointers null (index tested first)",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) {
       return r.kwGetFileNameByItemIndex(1, nullptr, nullptr, e);
     },
     kwERROR_OUT_OF_RANGE, 4},
    {"name out null",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) {
       Type t;
       return r.kwGetFileNameByItemIndex(0, nullptr, &t, e);
     },
     kwERROR_NULL_POINTER, 4},
    {"type out null",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) {
       const char* n;
       return r.kwGetFileNameByItemIndex(0, &n, nullptr, e);
     },
     kwERROR_NULL_POINTER, 4},
    {"count into null",
     [](CkwCheckLinkInfo& r, CkwErrorInfo* e) { return r.kwGetItemCount(nullptr, e); },
     kwERROR_NULL_POINTER, 5},
};

TEST(CkwCheckLinkInfo, FailureTable) {
  for (const InfoFailure& row : kInfoFailures) {
    SCOPED_TRACE(row.condition);
    auto record = MakeRecord(kItemA, {{"a.mpg", CkwCheckLinkInfo::kwFILE_TYPE_VIDEO}});
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(*record, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, kwSEVERITY_ERROR, row.method, kInfoSource}));
    EXPECT_FALSE(row.call(*record, nullptr));
    EXPECT_EQ(ItemCount(*record), 1);
    EXPECT_EQ(IDOf(*record), kItemA);
  }
}

TEST(CkwCheckLinkInfo, ItemsComeBackInOrderWithTheirTypesUnchanged) {
  // Values no enumerator names are stored and returned as they are.
  const int types[] = {CkwCheckLinkInfo::kwFILE_TYPE_AUDIO, -1, INT_MIN, INT_MAX, 1000, 0};
  CkwCheckLinkInfo record;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "file" + std::to_string(i) + ".vob";
    ASSERT_TRUE(record.kwAddFileName(name.c_str(), static_cast<Type>(types[i]), nullptr));
  }
  ASSERT_TRUE(record.kwAddFileName("", static_cast<Type>(7), nullptr));  // empty name
  ASSERT_EQ(ItemCount(record), 7);
  for (int i = 0; i < 6; ++i) {
    const char* name = nullptr;
    Type type{};
    ASSERT_TRUE(record.kwGetFileNameByItemIndex(i, &name, &type, nullptr));
    EXPECT_EQ(std::string(name), "file" + std::to_string(i) + ".vob");
    EXPECT_EQ(static_cast<int>(type), types[i]);
  }
  const char* empty = nullptr;
  Type type{};
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(6, &empty, &type, nullptr));
  EXPECT_STREQ(empty, "");
}

TEST(CkwCheckLinkInfo, NamesAreCopiedAndStayPut) {
  CkwCheckLinkInfo record;
  char buffer[] = "menu.png";
  ASSERT_TRUE(record.kwAddFileName(buffer, CkwCheckLinkInfo::kwFILE_TYPE_IMAGE, nullptr));
  const char* first = nullptr;
  Type type{};
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(0, &first, &type, nullptr));
  buffer[0] = 'X';
  for (int i = 0; i < 1000; ++i)  // growth moves no stored name
    ASSERT_TRUE(record.kwAddFileName(buffer, CkwCheckLinkInfo::kwFILE_TYPE_IMAGE, nullptr));
  EXPECT_STREQ(first, "menu.png");
  const char* again = nullptr;
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(0, &again, &type, nullptr));
  EXPECT_EQ(again, first);
}

TEST(CkwCheckLinkInfo, SuccessfulReadLeavesTheStringListAsSource) {
  auto record = MakeRecord(kItemA, {{"a", 1}});
  CkwErrorInfo error = kwStaleRecord();
  const char* name = nullptr;
  Type type{};
  ASSERT_TRUE(record->kwGetFileNameByItemIndex(0, &name, &type, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
  std::int32_t count = 0;
  ASSERT_TRUE(record->kwGetItemCount(&count, &error));
  EXPECT_EQ(*error.m_pSource, kInfoSource);
}

TEST(CkwCheckLinkInfo, CloneIsADeepCopyThatOutlivesTheOriginal) {
  auto original = MakeRecord(kItemA, {{"a.mpg", 3}, {"b.wav", -42}, {"", 2}});
  CkwCheckLinkInfo* clone = nullptr;
  CkwErrorInfo error;
  ASSERT_TRUE(original->kwClone(&clone, &error));
  ASSERT_NE(clone, nullptr);
  std::unique_ptr<CkwCheckLinkInfo> owned(clone);
  ExpectDeepCopy(*original, *clone);
  const char* name = nullptr;
  Type type{};
  original.reset();
  ASSERT_TRUE(clone->kwGetFileNameByItemIndex(1, &name, &type, nullptr));
  EXPECT_STREQ(name, "b.wav");
  EXPECT_EQ(static_cast<int>(type), -42);
}

TEST(CkwCheckLinkInfo, CloneOfARecordWithoutItems) {
  auto original = MakeRecord(kItemB, {});
  CkwCheckLinkInfo* clone = nullptr;
  ASSERT_TRUE(original->kwClone(&clone, nullptr));
  std::unique_ptr<CkwCheckLinkInfo> owned(clone);
  EXPECT_EQ(IDOf(*clone), kItemB);
  EXPECT_EQ(ItemCount(*clone), 0);
}

TEST(CkwCheckLinkInfo, CloneWithoutMemoryGivesNull) {
  auto original = MakeRecord(kItemA, {{"a", 1}});
  CkwCheckLinkInfo* clone = original.get();
  CkwErrorInfo error;
  kwTestHooks::FailNextAllocations(1);
  EXPECT_FALSE(original->kwClone(&clone, &error));
  kwTestHooks::FailNextAllocations(0);
  EXPECT_EQ(clone, nullptr);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, kInfoSource}));
}

TEST(CkwCheckLinkInfo, CloneFailingInsideAnItemCopyReportsTheInnerMethod) {
  auto original = MakeRecord(kItemA, {{"a", 1}, {"b", 2}});
  CkwCheckLinkInfo* clone = nullptr;
  CkwErrorInfo error;
  // The new record and the first name succeed; the second name's copy fails.
  kwTestHooks::FailAllocationsAfter(2, 1);
  EXPECT_FALSE(original->kwClone(&clone, &error));
  kwTestHooks::FailNextAllocations(0);
  EXPECT_EQ(clone, nullptr);  // the partial clone is gone (ASan sees no leak)
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  EXPECT_EQ(ItemCount(*original), 2);
}

TEST(CkwCheckLinkInfo, AddFailingInTheStringListIsReportedByIt) {
  CkwCheckLinkInfo record;
  CkwErrorInfo error;
  kwTestHooks::FailNextAllocations(1);
  EXPECT_FALSE(record.kwAddFileName("a", CkwCheckLinkInfo::kwFILE_TYPE_AUDIO, &error));
  kwTestHooks::FailNextAllocations(0);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
  EXPECT_EQ(ItemCount(record), 0);  // no type left without its name
  ASSERT_TRUE(record.kwAddFileName("b", CkwCheckLinkInfo::kwFILE_TYPE_AUDIO, nullptr));
  const char* name = nullptr;
  Type type{};
  ASSERT_TRUE(record.kwGetFileNameByItemIndex(0, &name, &type, nullptr));
  EXPECT_STREQ(name, "b");
}

// ---------------------------------------------------------------------------
// The list

TEST(CkwCheckLinkFileList, NewListIsEmpty) {
  CkwCheckLinkFileList list;
  EXPECT_EQ(RecordCount(list), 0);
}

struct ListFailure {
  const char* condition;
  bool (*call)(CkwCheckLinkFileList&, CkwErrorInfo*);
  std::int32_t code;
  std::int32_t severity;
  std::int32_t method;
};

// The list holds two records when each row runs.
const ListFailure kListFailures[] = {
    {"add null record",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) { return l.kwAddCheckLinkInfo(nullptr, e); },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 0},
    {"find with null ID",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) {
       CkwCheckLinkInfo* r;
       return l.kwFindCheckLinkInfoByDVDItemID(nullptr, &r, e);
     },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 1},
    {"find into null",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) {
       return l.kwFindCheckLinkInfoByDVDItemID(&kItemA, nullptr, e);
     },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 1},
    {"find an absent ID (one byte off)",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) {
       CkwCheckLinkInfo* r = reinterpret_cast<CkwCheckLinkInfo*>(&l);
       bool ok = l.kwFindCheckLinkInfoByDVDItemID(&kItemC, &r, e);
       EXPECT_EQ(r, nullptr);
       return ok;
     },
     kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1},
    {"merge null",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) { return l.kwMergeFileList(nullptr, e); },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 2},
    {"count into null",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) { return l.kwGetCount(nullptr, e); },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 3},
    {"get into null",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) { return l.kwGetCheckLinkInfo(0, nullptr, e); },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 4},
    {"get into null at a bad index (pointer tested first)",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) { return l.kwGetCheckLinkInfo(2, nullptr, e); },
     kwERROR_NULL_POINTER, kwSEVERITY_ERROR, 4},
    {"get index -1",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) {
       CkwCheckLinkInfo* r;
       return l.kwGetCheckLinkInfo(-1, &r, e);
     },
     kwERROR_OUT_OF_RANGE, kwSEVERITY_ERROR, 4},
    {"get index == count",
     [](CkwCheckLinkFileList& l, CkwErrorInfo* e) {
       CkwCheckLinkInfo* r;
       return l.kwGetCheckLinkInfo(2, &r, e);
     },
     kwERROR_OUT_OF_RANGE, kwSEVERITY_ERROR, 4},
};

TEST(CkwCheckLinkFileList, FailureTable) {
  for (const ListFailure& row : kListFailures) {
    SCOPED_TRACE(row.condition);
    CkwCheckLinkFileList list;
    ASSERT_TRUE(list.kwAddCheckLinkInfo(MakeRecord(kItemA, {{"a", 1}}).release(), nullptr));
    ASSERT_TRUE(list.kwAddCheckLinkInfo(MakeRecord(kItemB, {}).release(), nullptr));
    CkwErrorInfo error = kwStaleRecord();
    EXPECT_FALSE(row.call(list, &error));
    EXPECT_TRUE(kwIsFailure(error, {row.code, row.severity, row.method, kListSource}));
    EXPECT_FALSE(row.call(list, nullptr));
    EXPECT_EQ(RecordCount(list), 2);
  }
}

TEST(CkwCheckLinkFileList, SearchingAnEmptyListWarns) {
  CkwCheckLinkFileList list;
  CkwCheckLinkInfo* found = reinterpret_cast<CkwCheckLinkInfo*>(&list);
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwFindCheckLinkInfoByDVDItemID(&GUID_NULL, &found, &error));
  EXPECT_EQ(found, nullptr);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1, kListSource}));
}

TEST(CkwCheckLinkFileList, FindAndGetHandOutTheListsOwnRecords) {
  CkwCheckLinkFileList list;
  CkwCheckLinkInfo* first = MakeRecord(kItemA, {{"first", 1}}).release();
  CkwCheckLinkInfo* other = MakeRecord(kItemB, {}).release();
  CkwCheckLinkInfo* second = MakeRecord(kItemA, {{"second", 1}}).release();
  for (CkwCheckLinkInfo* r : {first, other, second})
    ASSERT_TRUE(list.kwAddCheckLinkInfo(r, nullptr));
  CkwCheckLinkInfo* found = nullptr;
  ASSERT_TRUE(list.kwFindCheckLinkInfoByDVDItemID(&kItemA, &found, nullptr));
  EXPECT_EQ(found, first);  // the first match wins
  ASSERT_TRUE(list.kwFindCheckLinkInfoByDVDItemID(&kItemB, &found, nullptr));
  EXPECT_EQ(found, other);
  CkwCheckLinkInfo* at = nullptr;
  ASSERT_TRUE(list.kwGetCheckLinkInfo(2, &at, nullptr));
  EXPECT_EQ(at, second);
  // The same pointer twice is not refused either; the list trusts its caller.
}

TEST(CkwCheckLinkFileList, MergingAnEmptyListAddsNothing) {
  CkwCheckLinkFileList list, empty;
  ASSERT_TRUE(list.kwAddCheckLinkInfo(MakeRecord(kItemA, {}).release(), nullptr));
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_TRUE(list.kwMergeFileList(&empty, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(RecordCount(list), 1);
  EXPECT_TRUE(empty.kwMergeFileList(&empty, nullptr));
  EXPECT_EQ(RecordCount(empty), 0);
}

TEST(CkwCheckLinkFileList, MergeCopiesDeeplyAndSurvivesTheSource) {
  CkwCheckLinkFileList target;
  ASSERT_TRUE(target.kwAddCheckLinkInfo(MakeRecord(kItemA, {{"mine", 1}}).release(), nullptr));
  auto source = std::make_unique<CkwCheckLinkFileList>();
  ASSERT_TRUE(source->kwAddCheckLinkInfo(MakeRecord(kItemA, {{"theirs", 3}}).release(), nullptr));
  ASSERT_TRUE(source->kwAddCheckLinkInfo(
      MakeRecord(kItemB, {{"b1.mpg", 3}, {"b2.ac3", 1}}).release(), nullptr));
  ASSERT_TRUE(target.kwMergeFileList(source.get(), nullptr));
  ASSERT_EQ(RecordCount(target), 3);
  EXPECT_EQ(RecordCount(*source), 2);  // not changed
  for (std::int32_t i = 0; i < 2; ++i) {
    CkwCheckLinkInfo* theirs = nullptr;
    CkwCheckLinkInfo* copy = nullptr;
    ASSERT_TRUE(source->kwGetCheckLinkInfo(i, &theirs, nullptr));
    ASSERT_TRUE(target.kwGetCheckLinkInfo(i + 1, &copy, nullptr));
    ExpectDeepCopy(*theirs, *copy);
  }
  source.reset();
  // A repeated ID is appended again; the search still finds the older record.
  CkwCheckLinkInfo* found = nullptr;
  ASSERT_TRUE(target.kwFindCheckLinkInfoByDVDItemID(&kItemA, &found, nullptr));
  const char* name = nullptr;
  Type type{};
  ASSERT_TRUE(found->kwGetFileNameByItemIndex(0, &name, &type, nullptr));
  EXPECT_STREQ(name, "mine");
  ASSERT_TRUE(target.kwGetCheckLinkInfo(2, &found, nullptr));
  ASSERT_TRUE(found->kwGetFileNameByItemIndex(1, &name, &type, nullptr));
  EXPECT_STREQ(name, "b2.ac3");
}

TEST(CkwCheckLinkFileList, MergingIntoItselfDoublesOnce) {
  CkwCheckLinkFileList list;
  ASSERT_TRUE(list.kwAddCheckLinkInfo(MakeRecord(kItemA, {{"a", 1}}).release(), nullptr));
  ASSERT_TRUE(list.kwAddCheckLinkInfo(MakeRecord(kItemB, {{"b", 2}, {"c", 3}}).release(), nullptr));
  ASSERT_TRUE(list.kwMergeFileList(&list, nullptr));
  ASSERT_EQ(RecordCount(list), 4);
  for (std::int32_t i = 0; i < 2; ++i) {
    CkwCheckLinkInfo* original = nullptr;
    CkwCheckLinkInfo* copy = nullptr;
    ASSERT_TRUE(list.kwGetCheckLinkInfo(i, &original, nullptr));
    ASSERT_TRUE(list.kwGetCheckLinkInfo(i + 2, &copy, nullptr));
    ExpectDeepCopy(*original, *copy);
  }
}

TEST(CkwCheckLinkFileList, MergeStoppedPartWayKeepsWhatItAppended) {
  CkwCheckLinkFileList source, target;
  ASSERT_TRUE(source.kwAddCheckLinkInfo(MakeRecord(kItemA, {{"a", 1}}).release(), nullptr));
  ASSERT_TRUE(source.kwAddCheckLinkInfo(MakeRecord(kItemB, {{"b", 1}}).release(), nullptr));
  CkwErrorInfo error;
  // The first clone (record, name) succeeds; the second clone gets no record.
  kwTestHooks::FailAllocationsAfter(2, 1);
  EXPECT_FALSE(target.kwMergeFileList(&source, &error));
  kwTestHooks::FailNextAllocations(0);
  // Reported by the clone, the inner call that failed.
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, kInfoSource}));
  ASSERT_EQ(RecordCount(target), 1);
  CkwCheckLinkInfo* kept = nullptr;
  ASSERT_TRUE(target.kwGetCheckLinkInfo(0, &kept, nullptr));
  EXPECT_EQ(IDOf(*kept), kItemA);
}

TEST(CkwCheckLinkFileList, SuccessfulMergeLeavesTheListAsSource) {
  CkwCheckLinkFileList source, target;
  ASSERT_TRUE(source.kwAddCheckLinkInfo(MakeRecord(kItemA, {{"a", 1}}).release(), nullptr));
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(target.kwMergeFileList(&source, &error));
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kListSource);  // the last inner call was the append
}

}  // namespace
