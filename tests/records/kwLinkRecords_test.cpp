#include <kwcore/CkwCheckLinkInfo.h>
#include <kwcore/CkwUpdateLinkInfo.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/kwExpectFailure.h"
#include "support/kwFailingAllocation.h"

namespace {

const GUID kStrListSource = {
    0xACD6D56A, 0x9C56, 0x4156, {0xB7, 0x6A, 0x0A, 0xDF, 0x45, 0x2A, 0x9B, 0x09}};
const GUID kA = {0xA0000001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kB = {0xA0000001, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 9}};  // last byte differs
using Type = CkwCheckLinkInfo::kwFileType;
const char *gName, *gOther;
Type gType;

// One item of each family, named by its index: check-link items carry the index as their
// type, update-link items a second name.
struct CheckLink {
  using Info = CkwCheckLinkInfo;
  using List = CkwCheckLinkFileList;
  static constexpr int kAdd = 3;
  static constexpr GUID kInfo = {
      0xE4AD958A, 0x9A9B, 0x47C9, {0x9C, 0x6D, 0xB3, 0xB7, 0xC9, 0x0B, 0xAD, 0x37}};
  static constexpr GUID kList = {
      0xE74D26FB, 0x0860, 0x4CCD, {0xA3, 0x54, 0x7A, 0x05, 0xE9, 0x4C, 0x4A, 0x85}};
  static bool Add(Info& r, const std::string& s, CkwErrorInfo* e) {
    return r.kwAddFileName(s.c_str(), Type(int(s.size()) - 8), e);
  }
  static std::string At(const Info& r, int i) {
    return r.kwGetFileNameByItemIndex(i, &gName, &gType, nullptr) ? gName + std::to_string(gType)
                                                                  : "-";
  }
  static bool Append(List& l, Info* r, CkwErrorInfo* e) { return l.kwAddCheckLinkInfo(r, e); }
  static bool Find(List& l, const GUID* id, Info** r, CkwErrorInfo* e) {
    return l.kwFindCheckLinkInfoByDVDItemID(id, r, e);
  }
};
struct UpdateLink {
  using Info = CkwUpdateLinkInfo;
  using List = CkwUpdateLinkFileList;
  static constexpr int kAdd = 0;
  static constexpr GUID kInfo = {
      0x26E764E8, 0x835B, 0x4AB2, {0xB1, 0x19, 0xCE, 0x8B, 0x3B, 0x1E, 0x17, 0xC3}};
  static constexpr GUID kList = {
      0x1205DD9A, 0xA974, 0x4E18, {0x9E, 0xA3, 0xE7, 0x25, 0xFA, 0x81, 0x29, 0xB0}};
  static bool Add(Info& r, const std::string& s, CkwErrorInfo* e) {
    return r.kwAddFilePair(s.c_str(), (s + "'").c_str(), e);
  }
  static std::string At(const Info& r, int i) {
    return r.kwGetFilePairByItemIndex(i, &gName, &gOther, nullptr) ? gName + std::string(gOther)
                                                                   : "-";
  }
  static bool Append(List& l, Info* r, CkwErrorInfo* e) { return l.kwAddUpdateLinkInfo(r, e); }
  static bool Find(List& l, const GUID* id, Info** r, CkwErrorInfo* e) {
    return l.kwFindUpdateLinkInfoByDVDItemID(id, r, e);
  }
};

template <class F>
std::unique_ptr<typename F::Info> Make(const GUID& id, int items) {
  auto r = std::make_unique<typename F::Info>();
  EXPECT_TRUE(r->kwSetDVDItemID(&id, nullptr));
  for (int i = 0; i < items; ++i) EXPECT_TRUE(F::Add(*r, "item.v" + std::to_string(i), nullptr));
  return r;
}
template <class F>
int Count(const typename F::Info& r) {
  return kwRead(r, &F::Info::kwGetItemCount);
}

template <class F>
class LinkRecords : public ::testing::Test {};
using Families = ::testing::Types<CheckLink, UpdateLink>;
TYPED_TEST_SUITE(LinkRecords, Families);

TYPED_TEST(LinkRecords, ItemsKeepOrderAndTheirOwnCopies) {
  using F = TypeParam;
  typename F::Info r;
  EXPECT_EQ(Count<F>(r), 0);
  EXPECT_EQ(kwRead(r, &F::Info::kwGetDVDItemID), GUID_NULL);
  std::string name = "item.v0";
  ASSERT_TRUE(F::Add(r, name, nullptr));
  const std::string first = F::At(r, 0);
  for (int i = 1; i < 1000; ++i) ASSERT_TRUE(F::Add(r, "item.v" + std::to_string(i), nullptr));
  name[0] = 'X';
  ASSERT_EQ(Count<F>(r), 1000);
  EXPECT_EQ(F::At(r, 0), first);  // growth moved no stored name
  EXPECT_EQ(F::At(r, 999), F::At(*Make<F>(kA, 1000), 999));
  CkwErrorInfo error = kwStaleRecord();
  ASSERT_TRUE(F::Add(r, "", &error));  // successful calls end in the string list
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_EQ(*error.m_pSource, kStrListSource);
}

TYPED_TEST(LinkRecords, OutOfMemoryAddsNothing) {
  using F = TypeParam;
  typename F::Info r;
  bool added = false;
  for (int n = 1; !added && n < 50; ++n) {  // each allocation of an add fails in turn
    CkwErrorInfo error;
    kwTest::FailAllocation(n);
    added = F::Add(r, "item.v1", &error);
    kwTest::FailAllocation(0);
    if (!added) {
      EXPECT_TRUE(
          kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}) ||
          kwIsFailure(error, {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, F::kAdd, F::kInfo}));
      EXPECT_EQ(Count<F>(r), 0);
    }
  }
  EXPECT_EQ(Count<F>(r), 1);
}

TYPED_TEST(LinkRecords, ListOwnsItsRecordsAndFindsTheFirstMatch) {
  using F = TypeParam;
  typename F::List list;
  typename F::Info *gone = Make<F>(kA, 0).release(), *found = nullptr;
  CkwErrorInfo error = kwStaleRecord();
  EXPECT_FALSE(F::Find(list, &kA, &(found = gone), &error));  // empty list
  EXPECT_EQ(found, nullptr);
  EXPECT_TRUE(kwIsFailure(error, {kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 1, F::kList}));
  typename F::Info* records[] = {gone, Make<F>(kB, 1).release(), Make<F>(kA, 2).release()};
  for (auto* r : records) ASSERT_TRUE(F::Append(list, r, nullptr));  // freed with the list
  ASSERT_TRUE(F::Find(list, &kB, &found, &error));
  EXPECT_EQ(found, records[1]);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  ASSERT_TRUE(F::Find(list, &kA, &found, nullptr));
  EXPECT_EQ(found, records[0]);
}

CkwCheckLinkInfo* gRecord;
CkwUpdateLinkInfo* gUpdate;
#define ROW(T, call, code, method) kwFAILURE_ROW(T, #call, call, code, kwSEVERITY_ERROR, method)
#define CHECK(call, code, method) ROW(CkwCheckLinkInfo, call, code, method)
// Each object holds one item (list: records kA and kB) when the rows run; indexes are tested
// before out-pointers, out-pointers before list indexes.
const kwFailureRow<CkwCheckLinkInfo> kCheckInfo[] = {
    CHECK(o.kwGetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 0),
    CHECK(o.kwSetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 1),
    CHECK(o.kwClone(nullptr, e), kwERROR_NULL_POINTER, 2),
    CHECK(o.kwAddFileName(nullptr, Type(0), e), kwERROR_NULL_POINTER, 3),
    CHECK(o.kwGetFileNameByItemIndex(-1, &gName, &gType, e), kwERROR_OUT_OF_RANGE, 4),
    CHECK(o.kwGetFileNameByItemIndex(1, nullptr, nullptr, e), kwERROR_OUT_OF_RANGE, 4),
    CHECK(o.kwGetFileNameByItemIndex(0, nullptr, &gType, e), kwERROR_NULL_POINTER, 4),
    CHECK(o.kwGetFileNameByItemIndex(0, &gName, nullptr, e), kwERROR_NULL_POINTER, 4),
    CHECK(o.kwGetItemCount(nullptr, e), kwERROR_NULL_POINTER, 5)};
#define CLIST(call, code, method) ROW(CkwCheckLinkFileList, call, code, method)
const kwFailureRow<CkwCheckLinkFileList> kCheckList[] = {
    CLIST(o.kwAddCheckLinkInfo(nullptr, e), kwERROR_NULL_POINTER, 0),
    CLIST(o.kwFindCheckLinkInfoByDVDItemID(nullptr, &gRecord, e), kwERROR_NULL_POINTER, 1),
    CLIST(o.kwFindCheckLinkInfoByDVDItemID(&kA, nullptr, e), kwERROR_NULL_POINTER, 1),
    CLIST(o.kwMergeFileList(nullptr, e), kwERROR_NULL_POINTER, 2),
    CLIST(o.kwGetCount(nullptr, e), kwERROR_NULL_POINTER, 3),
    CLIST(o.kwGetCheckLinkInfo(2, nullptr, e), kwERROR_NULL_POINTER, 4),
    CLIST(o.kwGetCheckLinkInfo(-1, &gRecord, e), kwERROR_OUT_OF_RANGE, 4),
    CLIST(o.kwGetCheckLinkInfo(2, &gRecord, e), kwERROR_OUT_OF_RANGE, 4)};
#define UPDATE(call, code, method) ROW(CkwUpdateLinkInfo, call, code, method)
const kwFailureRow<CkwUpdateLinkInfo> kUpdateInfo[] = {
    UPDATE(o.kwAddFilePair(nullptr, "b", e), kwERROR_NULL_POINTER, 0),
    UPDATE(o.kwAddFilePair("a", nullptr, e), kwERROR_NULL_POINTER, 0),
    UPDATE(o.kwGetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 1),
    UPDATE(o.kwSetDVDItemID(nullptr, e), kwERROR_NULL_POINTER, 2),
    UPDATE(o.kwGetFilePairByItemIndex(-1, &gName, &gOther, e), kwERROR_OUT_OF_RANGE, 3),
    UPDATE(o.kwGetFilePairByItemIndex(1, nullptr, nullptr, e), kwERROR_OUT_OF_RANGE, 3),
    UPDATE(o.kwGetFilePairByItemIndex(0, nullptr, &gOther, e), kwERROR_NULL_POINTER, 3),
    UPDATE(o.kwGetFilePairByItemIndex(0, &gName, nullptr, e), kwERROR_NULL_POINTER, 3),
    UPDATE(o.kwGetItemCount(nullptr, e), kwERROR_NULL_POINTER, 4)};
#define ULIST(call, code, method) ROW(CkwUpdateLinkFileList, call, code, method)
const kwFailureRow<CkwUpdateLinkFileList> kUpdateList[] = {
    ULIST(o.kwAddUpdateLinkInfo(nullptr, e), kwERROR_NULL_POINTER, 0),
    ULIST(o.kwFindUpdateLinkInfoByDVDItemID(nullptr, &gUpdate, e), kwERROR_NULL_POINTER, 1),
    ULIST(o.kwFindUpdateLinkInfoByDVDItemID(&kA, nullptr, e), kwERROR_NULL_POINTER, 1)};

template <class F>
std::unique_ptr<typename F::List> MakeList() {
  auto list = std::make_unique<typename F::List>();
  EXPECT_TRUE(F::Append(*list, Make<F>(kA, 1).release(), nullptr));
  EXPECT_TRUE(F::Append(*list, Make<F>(kB, 2).release(), nullptr));
  return list;
}

TEST(LinkRecords, FailureTables) {
  kwRunFailureTable(
      kCheckInfo, CheckLink::kInfo, [] { return Make<CheckLink>(kA, 1); },
      [](auto& r) {
        EXPECT_EQ(CheckLink::At(r, 0) + std::to_string(Count<CheckLink>(r)), "item.v0-11");
      });
  kwRunFailureTable(
      kUpdateInfo, UpdateLink::kInfo, [] { return Make<UpdateLink>(kA, 1); },
      [](auto& r) {
        EXPECT_EQ(UpdateLink::At(r, 0) + std::to_string(Count<UpdateLink>(r)), "item.v0item.v0'1");
      });
  kwRunFailureTable(kCheckList, CheckLink::kList, MakeList<CheckLink>,
                    [](auto& l) { EXPECT_EQ(kwRead(l, &CkwCheckLinkFileList::kwGetCount), 2); });
  kwRunFailureTable(kUpdateList, UpdateLink::kList, MakeList<UpdateLink>, [](auto&) {});
}

TEST(LinkRecords, CloneAndMergeCopyDeeplyAndStopCleanly) {
  auto list = MakeList<CheckLink>();
  CkwErrorInfo error;
  ASSERT_TRUE(list->kwMergeFileList(list.get(), &error));  // into itself: every record once more
  EXPECT_EQ(*error.m_pSource, CheckLink::kList);           // the last inner call was the append
  ASSERT_EQ(kwRead(*list, &CkwCheckLinkFileList::kwGetCount), 4);
  CkwCheckLinkInfo *a = nullptr, *b = nullptr;
  ASSERT_TRUE(list->kwGetCheckLinkInfo(1, &a, nullptr) && list->kwGetCheckLinkInfo(3, &b, nullptr));
  EXPECT_EQ(kwRead(*b, &CkwCheckLinkInfo::kwGetDVDItemID), kB);
  EXPECT_EQ(CheckLink::At(*b, 1), CheckLink::At(*a, 1));
  EXPECT_EQ(CheckLink::At(*b, 2), "-");
  EXPECT_NE((a->kwGetFileNameByItemIndex(0, &gName, &gType, nullptr), gName),
            (b->kwGetFileNameByItemIndex(0, &gOther, &gType, nullptr), gOther));
  // Every allocation of a merge fails in turn: the target keeps the records it appended, the
  // first failure is the record's own, the last the copy of the final name.
  std::vector<CkwErrorInfo> failures;
  for (int n = 1;; ++n) {
    CkwCheckLinkFileList target;
    kwTest::FailAllocation(n);
    const bool merged = target.kwMergeFileList(list.get(), &error);
    kwTest::FailAllocation(0);
    if (merged) break;
    failures.push_back(error);
    EXPECT_EQ(error.m_nErrorCode, kwERROR_OUT_OF_MEMORY);
    if (n == 6) {
      EXPECT_EQ(kwRead(target, &CkwCheckLinkFileList::kwGetCount), 1);
    }
  }
  EXPECT_TRUE(kwIsFailure(failures.front(),
                          {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 2, CheckLink::kInfo}));
  EXPECT_TRUE(
      kwIsFailure(failures.back(), {kwERROR_OUT_OF_MEMORY, kwSEVERITY_ERROR, 0, kStrListSource}));
}

}  // namespace
