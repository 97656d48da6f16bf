#include <kwcore/CkwServiceObjectList.h>

#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwObjectFactory.h>

#include "support/kwExpectFailure.h"

namespace {

using Objects = std::vector<CkwServiceObject*>;

int g_nFreed = 0;
struct CCounted : CkwServiceObject {
  ~CCounted() override { ++g_nFreed; }
};
CkwServiceObject* New() { return new CCounted; }
void Free(CkwServiceObject* object) { CkwObjectFactory::kwFreeObject(&object, nullptr); }
std::intptr_t Pos(CkwServiceObject* object) { return reinterpret_cast<std::intptr_t>(object); }
int Count(CkwServiceObjectList& l) {
  int n = -1;
  return l.kwGetTotalCount(&n, nullptr) ? n : -2;
}

// Walks forward from the head position; walking back from the tail must agree.
Objects Walk(CkwServiceObjectList& list) {
  Objects forward, backward;
  CkwServiceObject* object = nullptr;
  std::intptr_t position = 0;
  EXPECT_TRUE(list.kwGetHeadServiceObjectPos(&position, nullptr));
  while (list.kwGetNextServiceObject(&object, &position, nullptr)) forward.push_back(object);
  EXPECT_TRUE(list.kwGetTailServiceObjectPos(&position, nullptr));
  while (list.kwGetPreviousServiceObject(&object, &position, nullptr)) backward.push_back(object);
  EXPECT_EQ(forward, Objects(backward.rbegin(), backward.rend()));
  return forward;
}

struct Client : SkwServiceObjectList_Notify {  // records the count each notice sees
  std::vector<int> counts;
  bool kwNotifyContentChange(CkwServiceObjectList* pList, CkwErrorInfo* pErrorInfo) override {
    counts.push_back(pErrorInfo == nullptr ? Count(*pList) : -1);
    return false;  // ignored by the list
  }
};

struct Filled {
  CkwServiceObjectList list, empty;
  CkwServiceObject *a = New(), *b = New(), *outsider = New(), *object = nullptr;
  std::intptr_t position = 0;
  Client client;
  Filled() {
    g_nFreed = 0;
    list.kwAddServiceObject(a, nullptr), list.kwAddServiceObject(b, nullptr);
    list.kwRegisterContentChangeNotifyClient(&client, nullptr);
  }
  ~Filled() { Free(outsider); }
};
#define ROW(call, code, severity, method) kwFAILURE_ROW(Filled, #call, call, code, severity, method)
const kwFailureRow<Filled> kFailures[] = {
    ROW(o.list.kwAddServiceObject(nullptr, e), 2, 2, 3),
    ROW(o.list.kwAddServiceObject(o.a, e), 18, 2, 3),
    ROW(o.list.kwRemoveServiceObject(nullptr, e), 2, 2, 2),
    ROW(o.list.kwRemoveServiceObject(o.outsider, e), 12, 2, 2),
    ROW(o.list.kwInsertServiceObject(nullptr, 0, e), 2, 2, 4),
    ROW(o.list.kwInsertServiceObject(o.b, 0, e), 18, 2, 4),
    ROW(o.list.kwInsertServiceObject(o.outsider, Pos(o.outsider), e), 3, 2, 4),
    ROW(o.list.kwReplaceServiceObject(0, o.outsider, e), 2, 2, 5),
    ROW(o.list.kwReplaceServiceObject(Pos(o.a), o.b, e), 18, 2, 5),
    ROW(o.list.kwReplaceServiceObject(Pos(o.outsider), o.outsider, e), 3, 2, 5),
    ROW(o.list.kwGetFirstServiceObject(nullptr, &o.position, e), 2, 2, 6),
    ROW(o.empty.kwGetFirstServiceObject(&o.object, &o.position, e), 12, 1, 6),
    ROW(o.list.kwGetNextServiceObject(&o.object, nullptr, e), 2, 2, 7),
    ROW(o.list.kwGetNextServiceObject(&o.object, &o.position, e), 12, 1, 7),
    ROW(o.list.kwGetPreviousServiceObject(&o.object, &o.position, e), 12, 1, 8),
    ROW(o.list.kwGetHeadServiceObject(nullptr, e), 2, 2, 9),
    ROW(o.empty.kwGetHeadServiceObject(&o.object, e), 12, 1, 9),
    ROW(o.list.kwGetTailServiceObject(nullptr, e), 2, 2, 10),
    ROW(o.empty.kwGetTailServiceObject(&o.object, e), 12, 1, 10),
    ROW(o.list.kwFindServiceObject(nullptr, &o.position, e), 2, 2, 11),
    ROW(o.list.kwFindServiceObject(o.outsider, &o.position, e), 12, 1, 11),
    ROW(o.list.kwGetTotalCount(nullptr, e), 2, 2, 13),
    ROW(o.list.kwGetServiceObjectByIndex(&o.object, -1, e), 3, 2, 14),
    ROW(o.list.kwGetHeadServiceObjectPos(nullptr, e), 2, 2, 15),
    ROW(o.list.kwGetTailServiceObjectPos(nullptr, e), 2, 2, 16),
};
#undef ROW

TEST(ServiceObjectList, FailuresNoticesAfterEachChangeAndFreeingWhatItOwns) {
  kwRunFailureTable(
      kFailures, kwGUID_SourceServiceObjectList, [] { return std::make_unique<Filled>(); },
      [](Filled& f) {
        EXPECT_EQ(Walk(f.list), (Objects{f.a, f.b}));
        EXPECT_TRUE(f.client.counts.empty() && g_nFreed == 0);
      });
  g_nFreed = 0;
  Client first, client;  // the second registration replaces the first
  CkwServiceObject *a = New(), *b = New(), *c = New(), *d = New(), *object = nullptr;
  std::intptr_t position = 0;
  {
    CkwServiceObjectList list;
    list.kwRegisterContentChangeNotifyClient(&first, nullptr);
    list.kwRegisterContentChangeNotifyClient(&client, nullptr);
    ASSERT_TRUE(list.kwAddServiceObject(a, nullptr) && list.kwInsertServiceObject(b, 0, nullptr) &&
                list.kwInsertServiceObject(c, Pos(a), nullptr) &&
                list.kwReplaceServiceObject(Pos(a), a, nullptr) &&  // by itself: kept
                list.kwReplaceServiceObject(Pos(a), d, nullptr));   // a is freed
    EXPECT_EQ(Walk(list), (Objects{b, d, c}));
    ASSERT_TRUE(list.kwGetFirstServiceObject(&object, &position, nullptr) && position == Pos(d));
    ASSERT_TRUE(list.kwRemoveServiceObject(d, nullptr));
    // The position of a removed object ends an iteration.
    EXPECT_FALSE(list.kwGetNextServiceObject(&object, &position, nullptr) || object != nullptr);
    EXPECT_EQ(client.counts, (std::vector<int>{1, 2, 3, 3, 3, 2}));
    ASSERT_TRUE(first.counts.empty() && list.kwRemoveAllServiceObject(nullptr));
    EXPECT_EQ(g_nFreed, 1);  // remove and remove-all free nothing
    EXPECT_FALSE(list.kwGetFirstServiceObject(&object, &position, nullptr) || position != 0);
    for (CkwServiceObject* o : {b, c, d}) ASSERT_TRUE(list.kwAddServiceObject(o, nullptr));
    CkwErrorInfo error;
    ASSERT_TRUE(list.kwDeleteAllServiceObject(&error));
    EXPECT_TRUE(g_nFreed == 4 && error.m_nErrorCode == 12);  // its last step's warning stays
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(list.kwAddServiceObject(New(), nullptr));
    ASSERT_TRUE(list.kwUnregisterContentChangeNotifyClient(nullptr));
    ASSERT_TRUE(list.kwAddServiceObject(New(), nullptr));
    EXPECT_EQ(client.counts.size(), 34u);  // not told of remove-all, delete-all, nor afterwards
  }
  EXPECT_EQ(g_nFreed, 30);  // destruction frees every listed object
}

// Growing and then shrinking at random: the address index and the iteration hint must
// never disagree with the chain.
TEST(ServiceObjectList, RandomChurnMatchesStdList) {
  CkwServiceObjectList list;
  std::list<CkwServiceObject*> model;
  std::mt19937 random(20261206);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (int step = 0; step < 4000; ++step) {
    std::size_t op = pick(6);  // add, insert, remove, replace; 4 and 5 grow or shrink by phase
    if (op >= 4 || (op == 0 && step >= 2000)) op = step < 2000 ? 0 : 2;
    op = model.empty() && op >= 2 ? 1 : op;
    CkwServiceObject *object = op == 2 ? nullptr : New(), *removed = nullptr;
    auto at = std::next(model.begin(), model.empty() ? 0 : pick(model.size()));
    // Inserts go after a random object, or at the head.
    std::intptr_t position = op != 1 || at == model.end() || pick(8) == 0 ? 0 : Pos(*at++);
    ASSERT_TRUE(op == 0   ? list.kwAddServiceObject(object, nullptr)
                : op == 1 ? list.kwInsertServiceObject(object, position, nullptr)
                : op == 2 ? list.kwRemoveServiceObject(removed = *at, nullptr)
                          : list.kwReplaceServiceObject(Pos(*at), object, nullptr));
    if (op == 0) model.push_back(object);
    if (op == 1) model.insert(position == 0 ? model.begin() : at, object);
    if (op == 2) model.erase(at);
    if (op == 3) *at = object;
    ASSERT_EQ(Count(list), static_cast<int>(model.size())) << step;
    ASSERT_TRUE((step % 97 && model.size() > 2) ||
                Walk(list) == Objects(model.begin(), model.end()));
    // Indexing walks the list and leaves the hint at a random node.
    std::size_t index = pick(model.size() + 1);
    CkwErrorInfo error;
    ASSERT_EQ(list.kwGetServiceObjectByIndex(&object, static_cast<int>(index), &error),
              index < model.size());
    EXPECT_EQ(object, index < model.size() ? *std::next(model.begin(), index) : nullptr) << step;
    EXPECT_EQ(error.m_nSeverity, 0) << step;  // past the end: false without a failure entry
    EXPECT_TRUE(!object ||
                (list.kwFindServiceObject(object, &position, nullptr) && position == Pos(object)));
    EXPECT_FALSE(removed && (list.kwFindServiceObject(removed, &position, nullptr) || position));
    if (removed) Free(removed);
  }
}

// A derived list whose find lets an object in twice holds [x, y, x]. After an
// iteration has stepped onto the third node, remove (r), insert (i) and replace
// (p) still act on the first x, and next goes on from the node it was given.
struct CDuplicates : CkwServiceObjectList {
  bool kwFindServiceObject(CkwServiceObject*, std::intptr_t* p, CkwErrorInfo*) override {
    return *p = 0, false;
  }
};
TEST(ServiceObjectList, ObjectListedTwiceActsOnItsFirstNode) {
  for (auto [change, expected] : {std::pair('r', "yx"), {'i', "xzyx"}, {'p', "zyx"}}) {
    CkwServiceObject *x = New(), *y = New(), *z = New(), *object = nullptr;
    CDuplicates list;
    for (CkwServiceObject* o : {x, y, x}) ASSERT_TRUE(list.kwAddServiceObject(o, nullptr));
    std::intptr_t position = 0;
    ASSERT_TRUE(list.kwGetFirstServiceObject(&object, &position, nullptr) &&
                list.kwGetNextServiceObject(&object, &position, nullptr) && position == Pos(x));
    ASSERT_TRUE(change == 'r'   ? list.kwRemoveServiceObject(x, nullptr)
                : change == 'i' ? list.kwInsertServiceObject(z, Pos(x), nullptr)
                                : list.kwReplaceServiceObject(Pos(x), z, nullptr));  // frees x
    std::string walked;
    list.kwGetFirstServiceObject(&object, &position, nullptr);
    for (; object != nullptr && walked.size() < 8;
         list.kwGetNextServiceObject(&object, &position, nullptr))
      walked += object == x ? 'x' : object == y ? 'y' : 'z';
    EXPECT_EQ(walked, expected) << change;
    list.kwRemoveAllServiceObject(nullptr);
    for (CkwServiceObject* o : {x, y, z})
      if (o != x || change != 'p') Free(o);
  }
}

}  // namespace
