#include <kwcore/CkwServiceObjectList.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwErrorCodes.h>

namespace {

const GUID CLSID_Counted = {0xC0C0C0C0, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

int g_nDestroyed = 0;

class CCounted : public CkwServiceObject {
  kwDECLARE_OBJECT_MAP() public : ~CCounted() override { ++g_nDestroyed; }
};
kwBEGIN_OBJECT_MAP(CCounted, CkwServiceObject, CLSID_Counted) kwEND_OBJECT_MAP(CCounted)

    CkwServiceObject* NewObject() {
  CkwServiceObject* object = nullptr;
  EXPECT_TRUE(CCounted::kwCreateObject(&object, nullptr));
  return object;
}

void Free(CkwServiceObject* object) {
  EXPECT_TRUE(CkwObjectFactory::kwFreeObject(&object, nullptr));
}

std::intptr_t Pos(CkwServiceObject* object) { return reinterpret_cast<std::intptr_t>(object); }

struct CountingClient : SkwServiceObjectList_Notify {
  int calls = 0;
  CkwServiceObjectList* lastList = nullptr;
  bool kwNotifyContentChange(CkwServiceObjectList* pList, CkwErrorInfo* pErrorInfo) override {
    ++calls;
    lastList = pList;
    EXPECT_EQ(pErrorInfo, nullptr);
    return false;  // ignored by the list
  }
};

class ServiceObjectList : public ::testing::Test {
 protected:
  void SetUp() override { g_nDestroyed = 0; }

  std::vector<CkwServiceObject*> Forward() {
    std::vector<CkwServiceObject*> seen;
    CkwServiceObject* object = nullptr;
    std::intptr_t position = 0;
    EXPECT_TRUE(list.kwGetHeadServiceObjectPos(&position, nullptr));
    while (list.kwGetNextServiceObject(&object, &position, nullptr)) seen.push_back(object);
    return seen;
  }
  std::vector<CkwServiceObject*> Backward() {
    std::vector<CkwServiceObject*> seen;
    CkwServiceObject* object = nullptr;
    std::intptr_t position = 0;
    EXPECT_TRUE(list.kwGetTailServiceObjectPos(&position, nullptr));
    while (list.kwGetPreviousServiceObject(&object, &position, nullptr))
      seen.insert(seen.begin(), object);
    return seen;
  }
  int Count() {
    int count = -1;
    EXPECT_TRUE(list.kwGetTotalCount(&count, nullptr));
    return count;
  }
  std::vector<CkwServiceObject*> Fill(int n) {
    std::vector<CkwServiceObject*> objects;
    for (int i = 0; i < n; ++i) {
      objects.push_back(NewObject());
      EXPECT_TRUE(list.kwAddServiceObject(objects.back(), nullptr));
    }
    return objects;
  }

  CkwServiceObjectList list;
};

void ExpectFailure(const CkwErrorInfo& error, std::int32_t code, std::int32_t severity,
                   std::int32_t method, const char* what) {
  EXPECT_EQ(error.m_nErrorCode, code) << what;
  EXPECT_EQ(error.m_nSeverity, severity) << what;
  EXPECT_EQ(error.m_nMethod, method) << what;
  EXPECT_EQ(error.m_pSource, &kwGUID_SourceServiceObjectList) << what;
  EXPECT_EQ(error.m_pCategory, &kwGUID_ErrorCategoryGeneral) << what;
}

TEST_F(ServiceObjectList, PositionsSurviveUnrelatedChanges) {
  auto o = Fill(5);
  std::intptr_t position = 0;
  ASSERT_TRUE(list.kwFindServiceObject(o[2], &position, nullptr));
  EXPECT_EQ(position, Pos(o[2]));
  CkwServiceObject* extra = NewObject();
  ASSERT_TRUE(list.kwInsertServiceObject(extra, Pos(o[0]), nullptr));
  ASSERT_TRUE(list.kwRemoveServiceObject(o[1], nullptr));
  ASSERT_TRUE(list.kwRemoveServiceObject(o[4], nullptr));
  CkwServiceObject* object = nullptr;
  ASSERT_TRUE(list.kwGetNextServiceObject(&object, &position, nullptr));
  EXPECT_EQ(object, o[2]);
  EXPECT_EQ(position, Pos(o[3]));
  EXPECT_EQ(Forward(), (std::vector<CkwServiceObject*>{o[0], extra, o[2], o[3]}));
  EXPECT_EQ(Backward(), Forward());
  Free(o[1]);
  Free(o[4]);
}

TEST_F(ServiceObjectList, IterationRunsOffEitherEndWithAWarning) {
  auto o = Fill(3);
  CkwServiceObject* object = nullptr;
  std::intptr_t position = 0;
  CkwErrorInfo error;
  ASSERT_TRUE(list.kwGetFirstServiceObject(&object, &position, &error));
  EXPECT_EQ(object, o[0]);
  EXPECT_EQ(position, Pos(o[1]));
  ASSERT_TRUE(list.kwGetNextServiceObject(&object, &position, &error));
  ASSERT_TRUE(list.kwGetNextServiceObject(&object, &position, &error));
  EXPECT_EQ(object, o[2]);
  EXPECT_EQ(position, 0);
  EXPECT_FALSE(list.kwGetNextServiceObject(&object, &position, &error));
  EXPECT_EQ(object, nullptr);
  ExpectFailure(error, kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 7, "next off the end");

  ASSERT_TRUE(list.kwGetTailServiceObjectPos(&position, &error));
  ASSERT_TRUE(list.kwGetPreviousServiceObject(&object, &position, &error));
  EXPECT_EQ(object, o[2]);
  ASSERT_TRUE(list.kwGetPreviousServiceObject(&object, &position, &error));
  ASSERT_TRUE(list.kwGetPreviousServiceObject(&object, &position, &error));
  EXPECT_EQ(object, o[0]);
  EXPECT_EQ(position, 0);
  EXPECT_FALSE(list.kwGetPreviousServiceObject(&object, &position, &error));
  ExpectFailure(error, kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 8, "previous off the start");
  EXPECT_EQ(Backward(), o);
}

TEST_F(ServiceObjectList, ARemovedObjectsPositionEndsAnIteration) {
  auto o = Fill(3);
  CkwServiceObject* object = nullptr;
  std::intptr_t position = 0;
  ASSERT_TRUE(list.kwGetFirstServiceObject(&object, &position, nullptr));
  ASSERT_EQ(position, Pos(o[1]));
  ASSERT_TRUE(list.kwRemoveServiceObject(o[1], nullptr));
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwGetNextServiceObject(&object, &position, &error));
  EXPECT_EQ(object, nullptr);
  ExpectFailure(error, kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 7, "stale position");
  Free(o[1]);
}

TEST_F(ServiceObjectList, EmptyListAnswers) {
  CkwServiceObject* object = reinterpret_cast<CkwServiceObject*>(0x10);
  std::intptr_t position = 77;
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwGetFirstServiceObject(&object, &position, &error));
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(position, 0);
  ExpectFailure(error, kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 6, "first on empty");
  object = reinterpret_cast<CkwServiceObject*>(0x10);
  EXPECT_FALSE(list.kwGetHeadServiceObject(&object, &error));
  EXPECT_EQ(object, reinterpret_cast<CkwServiceObject*>(0x10));  // untouched
  ExpectFailure(error, kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 9, "head on empty");
  EXPECT_FALSE(list.kwGetTailServiceObject(&object, &error));
  ExpectFailure(error, kwERROR_NOT_FOUND, kwSEVERITY_WARNING, 10, "tail on empty");
  position = 5;
  EXPECT_TRUE(list.kwGetHeadServiceObjectPos(&position, &error));
  EXPECT_EQ(position, 0);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);
  EXPECT_TRUE(list.kwGetTailServiceObjectPos(&position, &error));
  EXPECT_EQ(position, 0);
}

TEST_F(ServiceObjectList, InsertAtHeadAfterTailAndAtAnUnknownPosition) {
  CkwServiceObject* a = NewObject();
  ASSERT_TRUE(list.kwInsertServiceObject(a, 0, nullptr));
  CkwServiceObject* head = nullptr;
  CkwServiceObject* tail = nullptr;
  ASSERT_TRUE(list.kwGetHeadServiceObject(&head, nullptr));
  ASSERT_TRUE(list.kwGetTailServiceObject(&tail, nullptr));
  EXPECT_EQ(head, a);
  EXPECT_EQ(tail, a);
  CkwServiceObject* b = NewObject();
  ASSERT_TRUE(list.kwInsertServiceObject(b, Pos(a), nullptr));
  ASSERT_TRUE(list.kwGetTailServiceObject(&tail, nullptr));
  EXPECT_EQ(tail, b);
  CkwServiceObject* c = NewObject();
  ASSERT_TRUE(list.kwInsertServiceObject(c, 0, nullptr));
  EXPECT_EQ(Forward(), (std::vector<CkwServiceObject*>{c, a, b}));

  CkwServiceObject* stray = NewObject();
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwInsertServiceObject(stray, Pos(stray), &error));
  ExpectFailure(error, kwERROR_INVALID_POSITION, kwSEVERITY_ERROR, 4, "unknown position");
  EXPECT_EQ(Count(), 3);
  Free(stray);
}

TEST_F(ServiceObjectList, FailureTable) {
  auto o = Fill(2);
  CkwServiceObject* outsider = NewObject();
  CkwServiceObject* object = nullptr;
  std::intptr_t position = Pos(o[0]);
  int count = 0;
  struct Case {
    const char* what;
    std::function<bool(CkwErrorInfo*)> call;
    std::int32_t code, severity, method;
  } cases[] = {
      {"add null", [&](CkwErrorInfo* e) { return list.kwAddServiceObject(nullptr, e); }, 2, 2, 3},
      {"add listed", [&](CkwErrorInfo* e) { return list.kwAddServiceObject(o[0], e); }, 18, 2, 3},
      {"remove null", [&](CkwErrorInfo* e) { return list.kwRemoveServiceObject(nullptr, e); }, 2, 2,
       2},
      {"remove absent", [&](CkwErrorInfo* e) { return list.kwRemoveServiceObject(outsider, e); },
       12, 2, 2},
      {"insert null", [&](CkwErrorInfo* e) { return list.kwInsertServiceObject(nullptr, 0, e); }, 2,
       2, 4},
      {"insert listed", [&](CkwErrorInfo* e) { return list.kwInsertServiceObject(o[1], 0, e); }, 18,
       2, 4},
      {"replace at 0", [&](CkwErrorInfo* e) { return list.kwReplaceServiceObject(0, outsider, e); },
       2, 2, 5},
      {"replace by null",
       [&](CkwErrorInfo* e) { return list.kwReplaceServiceObject(Pos(o[0]), nullptr, e); }, 2, 2,
       5},
      {"replace by other listed",
       [&](CkwErrorInfo* e) { return list.kwReplaceServiceObject(Pos(o[0]), o[1], e); }, 18, 2, 5},
      {"replace unknown position",
       [&](CkwErrorInfo* e) { return list.kwReplaceServiceObject(Pos(outsider) + 8, outsider, e); },
       3, 2, 5},
      {"first null",
       [&](CkwErrorInfo* e) { return list.kwGetFirstServiceObject(nullptr, &position, e); }, 2, 2,
       6},
      {"next null",
       [&](CkwErrorInfo* e) { return list.kwGetNextServiceObject(&object, nullptr, e); }, 2, 2, 7},
      {"previous null",
       [&](CkwErrorInfo* e) { return list.kwGetPreviousServiceObject(nullptr, &position, e); }, 2,
       2, 8},
      {"next at 0",
       [&](CkwErrorInfo* e) {
         std::intptr_t p = 0;
         return list.kwGetNextServiceObject(&object, &p, e);
       },
       12, 1, 7},
      {"head null", [&](CkwErrorInfo* e) { return list.kwGetHeadServiceObject(nullptr, e); }, 2, 2,
       9},
      {"tail null", [&](CkwErrorInfo* e) { return list.kwGetTailServiceObject(nullptr, e); }, 2, 2,
       10},
      {"find null",
       [&](CkwErrorInfo* e) { return list.kwFindServiceObject(nullptr, &position, e); }, 2, 2, 11},
      {"find absent",
       [&](CkwErrorInfo* e) { return list.kwFindServiceObject(outsider, &position, e); }, 12, 1,
       11},
      {"count null", [&](CkwErrorInfo* e) { return list.kwGetTotalCount(nullptr, e); }, 2, 2, 13},
      {"index null out",
       [&](CkwErrorInfo* e) { return list.kwGetServiceObjectByIndex(nullptr, 0, e); }, 3, 2, 14},
      {"index -1", [&](CkwErrorInfo* e) { return list.kwGetServiceObjectByIndex(&object, -1, e); },
       3, 2, 14},
      {"head pos null", [&](CkwErrorInfo* e) { return list.kwGetHeadServiceObjectPos(nullptr, e); },
       2, 2, 15},
      {"tail pos null", [&](CkwErrorInfo* e) { return list.kwGetTailServiceObjectPos(nullptr, e); },
       2, 2, 16},
  };
  CountingClient client;
  ASSERT_TRUE(list.kwRegisterContentChangeNotifyClient(&client, nullptr));
  for (const Case& c : cases) {
    CkwErrorInfo error;
    EXPECT_FALSE(c.call(&error)) << c.what;
    ExpectFailure(error, c.code, c.severity, c.method, c.what);
    EXPECT_FALSE(c.call(nullptr)) << c.what;
  }
  // Failed calls change nothing and tell nobody.
  EXPECT_EQ(client.calls, 0);
  EXPECT_EQ(Forward(), o);
  EXPECT_TRUE(list.kwGetTotalCount(&count, nullptr));
  Free(outsider);
}

TEST_F(ServiceObjectList, GetByIndex) {
  auto o = Fill(4);
  CkwErrorInfo error;
  for (int i = 0; i < 4; ++i) {
    CkwServiceObject* object = nullptr;
    ASSERT_TRUE(list.kwGetServiceObjectByIndex(&object, i, &error));
    EXPECT_EQ(object, o[i]);
  }
  CkwServiceObject* object = o[0];
  EXPECT_FALSE(list.kwGetServiceObjectByIndex(&object, 4, &error));
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_NONE);  // no failure entry at the count
}

TEST_F(ServiceObjectList, NotifiesOncePerSuccessfulChangeOnly) {
  CountingClient first, client;
  ASSERT_TRUE(list.kwRegisterContentChangeNotifyClient(&first, nullptr));
  ASSERT_TRUE(list.kwRegisterContentChangeNotifyClient(&client, nullptr));  // replaces
  auto o = Fill(3);
  EXPECT_EQ(client.calls, 3);
  EXPECT_EQ(client.lastList, &list);
  CkwServiceObject* extra = NewObject();
  ASSERT_TRUE(list.kwInsertServiceObject(extra, 0, nullptr));
  EXPECT_EQ(client.calls, 4);
  CkwServiceObject* replacement = NewObject();
  ASSERT_TRUE(list.kwReplaceServiceObject(Pos(extra), replacement, nullptr));
  EXPECT_EQ(client.calls, 5);
  EXPECT_EQ(g_nDestroyed, 1);  // the replaced object was freed
  ASSERT_TRUE(list.kwRemoveServiceObject(o[0], nullptr));
  EXPECT_EQ(client.calls, 6);
  Free(o[0]);
  ASSERT_TRUE(list.kwRemoveAllServiceObject(nullptr));
  ASSERT_TRUE(list.kwAddServiceObject(o[1], nullptr));
  ASSERT_TRUE(list.kwDeleteAllServiceObject(nullptr));
  EXPECT_EQ(client.calls, 7);
  EXPECT_EQ(first.calls, 0);
  ASSERT_TRUE(list.kwUnregisterContentChangeNotifyClient(nullptr));
  ASSERT_TRUE(list.kwAddServiceObject(NewObject(), nullptr));
  EXPECT_EQ(client.calls, 7);
  Free(o[2]);
  Free(replacement);
}

TEST_F(ServiceObjectList, ReplaceByItselfKeepsTheObject) {
  auto o = Fill(2);
  CountingClient client;
  list.kwRegisterContentChangeNotifyClient(&client, nullptr);
  CkwErrorInfo error;
  EXPECT_TRUE(list.kwReplaceServiceObject(Pos(o[1]), o[1], &error));
  EXPECT_EQ(g_nDestroyed, 0);
  EXPECT_EQ(client.calls, 1);
  EXPECT_EQ(Forward(), o);
}

TEST_F(ServiceObjectList, OwnershipAndDeleteAll) {
  CountingClient client;
  {
    CkwServiceObjectList owner;
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(owner.kwAddServiceObject(NewObject(), nullptr));
    ASSERT_TRUE(owner.kwRegisterContentChangeNotifyClient(&client, nullptr));
  }
  EXPECT_EQ(g_nDestroyed, 25);  // destruction frees every item
  EXPECT_EQ(client.calls, 0);   // and tells nobody

  auto o = Fill(12);
  CkwErrorInfo error;
  ASSERT_TRUE(list.kwDeleteAllServiceObject(&error));
  EXPECT_EQ(g_nDestroyed, 25 + 12);
  EXPECT_EQ(Count(), 0);
  // The last iteration step's end-of-list warning stays behind.
  EXPECT_EQ(error.m_nErrorCode, kwERROR_NOT_FOUND);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_WARNING);

  auto kept = Fill(3);
  ASSERT_TRUE(list.kwRemoveAllServiceObject(nullptr));
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(g_nDestroyed, 37);  // remove-all frees nothing
  for (CkwServiceObject* object : kept) Free(object);
}

// A derived list that treats every even-numbered add as already present:
// add, insert and replace must ask it through the virtual slot.
class CPickyList : public CkwServiceObjectList {
 public:
  CkwServiceObject* vetoed = nullptr;
  int finds = 0;
  bool kwFindServiceObject(CkwServiceObject* pObject, std::intptr_t* pnPosition,
                           CkwErrorInfo* pErrorInfo) override {
    ++finds;
    if (pObject == vetoed) {
      *pnPosition = 1;
      return true;
    }
    return CkwServiceObjectList::kwFindServiceObject(pObject, pnPosition, pErrorInfo);
  }
};

TEST(DerivedServiceObjectList, FindOverrideIsSeenByAddInsertAndReplace) {
  CPickyList list;
  CkwServiceObject* ok = NewObject();
  ASSERT_TRUE(list.kwAddServiceObject(ok, nullptr));
  list.vetoed = NewObject();
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwAddServiceObject(list.vetoed, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_ALREADY_PRESENT);
  EXPECT_FALSE(list.kwInsertServiceObject(list.vetoed, 0, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_ALREADY_PRESENT);
  EXPECT_FALSE(list.kwReplaceServiceObject(Pos(ok), list.vetoed, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_ALREADY_PRESENT);
  EXPECT_EQ(list.finds, 4);
  Free(list.vetoed);
}

// A derived list whose find override never reports a listed object, so the
// same object can be let in twice. Removing it must then unlink one node and
// keep the other intact, whichever node the lookup lands on.
class CMultisetList : public CkwServiceObjectList {
 public:
  bool kwFindServiceObject(CkwServiceObject*, std::intptr_t* pnPosition, CkwErrorInfo*) override {
    *pnPosition = 0;
    return false;
  }
};

TEST(DerivedServiceObjectList, AnObjectLetInTwiceIsRemovedNodeByNode) {
  CMultisetList list;
  CkwServiceObject* a = NewObject();
  CkwServiceObject* x = NewObject();
  CkwServiceObject* b = NewObject();
  for (CkwServiceObject* object : {a, x, b, x})
    ASSERT_TRUE(list.kwAddServiceObject(object, nullptr));
  // Walk up to the second x, so the next lookup of x starts from there.
  CkwServiceObject* object = nullptr;
  std::intptr_t position = 0;
  ASSERT_TRUE(list.kwGetFirstServiceObject(&object, &position, nullptr));
  ASSERT_TRUE(list.kwGetNextServiceObject(&object, &position, nullptr));
  ASSERT_TRUE(list.kwGetNextServiceObject(&object, &position, nullptr));
  ASSERT_EQ(position, Pos(x));
  ASSERT_TRUE(list.kwRemoveServiceObject(x, nullptr));
  ASSERT_TRUE(list.kwRemoveServiceObject(x, nullptr));
  EXPECT_FALSE(list.kwRemoveServiceObject(x, nullptr));
  std::vector<CkwServiceObject*> seen;
  ASSERT_TRUE(list.kwGetHeadServiceObjectPos(&position, nullptr));
  while (list.kwGetNextServiceObject(&object, &position, nullptr)) seen.push_back(object);
  EXPECT_EQ(seen, (std::vector<CkwServiceObject*>{a, b}));
  int count = 0;
  ASSERT_TRUE(list.kwGetTotalCount(&count, nullptr));
  EXPECT_EQ(count, 2);
  ASSERT_TRUE(list.kwRemoveAllServiceObject(nullptr));
  for (CkwServiceObject* owned : {a, x, b}) Free(owned);
}

// Random adds, inserts, removes, replaces and partial walks checked against a
// plain vector after every step: the address index (growth, deletion with
// wrapped probe runs) and the iteration hint must never disagree with the
// chain.
TEST_F(ServiceObjectList, RandomChurnMatchesASimpleModel) {
  std::mt19937 random(20261206);
  std::vector<CkwServiceObject*> model;
  std::vector<CkwServiceObject*> spare;
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  auto fresh = [&] {
    if (spare.empty()) return NewObject();
    CkwServiceObject* object = spare.back();
    spare.pop_back();
    return object;
  };
  int expectedDestroyed = 0;
  for (int step = 0; step < 4000; ++step) {
    // Growing for the first half, shrinking for the second.
    int op = static_cast<int>(pick(6));
    if (op == 3 && step < 2000) op = 0;
    if (op == 0 && step >= 2000) op = 3;
    if (model.empty() || op == 0) {
      CkwServiceObject* object = fresh();
      ASSERT_TRUE(list.kwAddServiceObject(object, nullptr));
      model.push_back(object);
    } else if (op == 1) {
      CkwServiceObject* object = fresh();
      std::size_t after = pick(model.size() + 1);  // model.size(): at the head
      std::intptr_t position = after == model.size() ? 0 : Pos(model[after]);
      ASSERT_TRUE(list.kwInsertServiceObject(object, position, nullptr));
      model.insert(after == model.size() ? model.begin() : model.begin() + after + 1, object);
    } else if (op == 2 || op == 3) {
      std::size_t at = pick(model.size());
      ASSERT_TRUE(list.kwRemoveServiceObject(model[at], nullptr));
      spare.push_back(model[at]);
      model.erase(model.begin() + at);
    } else if (op == 4) {
      std::size_t at = pick(model.size());
      CkwServiceObject* object = fresh();
      ASSERT_TRUE(list.kwReplaceServiceObject(Pos(model[at]), object, nullptr));
      ++expectedDestroyed;
      model[at] = object;
    } else {
      // A partial walk in either direction leaves the hint somewhere inside.
      std::size_t steps = pick(model.size());
      CkwServiceObject* object = nullptr;
      std::intptr_t position = Pos(model[pick(model.size())]);
      bool forward = pick(2) == 0;
      for (std::size_t i = 0; i < steps; ++i)
        if (!(forward ? list.kwGetNextServiceObject(&object, &position, nullptr)
                      : list.kwGetPreviousServiceObject(&object, &position, nullptr)))
          break;
    }
    if (step % 97 == 0 || model.size() < 3) {
      ASSERT_EQ(Forward(), model) << step;
      ASSERT_EQ(Backward(), model) << step;
    }
    ASSERT_EQ(Count(), static_cast<int>(model.size())) << step;
    if (!model.empty()) {
      std::intptr_t position = 0;
      CkwServiceObject* probe = model[pick(model.size())];
      ASSERT_TRUE(list.kwFindServiceObject(probe, &position, nullptr)) << step;
      EXPECT_EQ(position, Pos(probe));
    }
    if (!spare.empty()) {
      std::intptr_t position = 0;
      ASSERT_FALSE(list.kwFindServiceObject(spare.back(), &position, nullptr)) << step;
    }
  }
  EXPECT_EQ(g_nDestroyed, expectedDestroyed);
  for (CkwServiceObject* object : spare) Free(object);
}

}  // namespace
