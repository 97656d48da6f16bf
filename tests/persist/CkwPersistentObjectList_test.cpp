#include <kwcore/CkwPersistentObjectList.h>

#include <dlfcn.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwcpp.h>

#include "components/persistent_items.h"
#include "support/CkwFaultyStorage.h"
#include "support/kwExpectFailure.h"
#include "support/kwFactoryProbe.h"
#include "support/kwStorageTestUtil.h"
#include "support/kwTempDir.h"

namespace {

using Items = std::vector<CkwServiceObject*>;
using Plan = kwtest::CkwFaultPlan;
const GUID& kItemA = CLSID_TestPersistentItem;
const GUID& kItemB = CLSID_TestPersistentItemB;
const GUID& kListSource = kwGUID_SourcePersistentObjectList;

SkwPersistentObject_Method* P(CkwServiceObject* item) {
  void* service = nullptr;
  EXPECT_TRUE(item->kwQueryService(&IID_SkwPersistentObject_Method, &service, nullptr));
  return static_cast<SkwPersistentObject_Method*>(service);
}

struct State {
  GUID id;
  std::string name;
  bool dirty;
  bool operator==(const State&) const = default;
};
State StateOf(SkwPersistentObject_Method* object) {
  State state{};
  CkwErrorInfo error;
  state.name = kwObjectName(*object, &error);  // a copy in global memory, freed there
  EXPECT_TRUE(object->kwGetObjectID(&state.id, nullptr) &&
              object->kwIsObjectDirty(&state.dirty, nullptr) && error.m_nSeverity == 0);
  return state;
}

using kwtest::MemoryRoot;
std::string Le32(std::uint32_t n) { return {char(n), char(n >> 8), char(n >> 16), char(n >> 24)}; }
std::string Bytes(const GUID& guid) {
  BYTE bytes[16];
  kwGUIDToBytes(guid, bytes);
  return std::string(reinterpret_cast<char*>(bytes), 16);
}

struct CTestObject : CkwPersistentObject {};
std::string gTooLong(CkwPersistentObject::kMaxNameLength + 1, 'n');
const std::string kLongest = gTooLong.substr(1);
#define ROW(call, code, method) kwFAILURE_ROW(CTestObject, #call, call, code, 2, method)
const kwFailureRow<CTestObject> kObjectFailures[] = {
    ROW(o.kwLoad(nullptr, e), 2, 0),
    ROW(o.kwLoad(MemoryRoot().get(), e), 27, 0),  // no stream of its own
    ROW(o.kwSave(nullptr, e), 2, 1),
    ROW(o.kwGetObjectID(nullptr, e), 2, 2),
    ROW(o.kwSetObjectID(nullptr, e), 2, 3),
    ROW(o.kwGetObjectName(nullptr, e), 2, 4),
    ROW(o.kwSetObjectName(nullptr, e), 2, 5),
    ROW(o.kwSetObjectName(gTooLong.data(), e), 10, 5),
    ROW(o.kwIsObjectDirty(nullptr, e), 2, 8),
    ROW(o.kwCopyPersistentObjectData(nullptr, e), 2, 10),
};
#undef ROW

TEST(PersistentObject, FailuresIdentityNameAndDirtyFlag) {
  kwRunFailureTable(
      kObjectFailures, kwGUID_SourcePersistentObject,
      [] { return std::make_unique<CTestObject>(); },
      [](CTestObject& o) { EXPECT_TRUE(StateOf(&o).name.empty() && !StateOf(&o).dirty); });
  CTestObject object, other, copy(object);
  State state = StateOf(&object);
  EXPECT_TRUE(state == (State{StateOf(&copy).id, "", false}) && state.id != StateOf(&other).id);
  ASSERT_TRUE(object.kwSetObjectID(&state.id, nullptr) &&
              object.kwSetObjectName(state.name.data(), nullptr));
  EXPECT_EQ(StateOf(&object), state);  // the same ID and name again change nothing
  ASSERT_TRUE(object.kwSetObjectName(gTooLong.data() + 1, nullptr));
  EXPECT_EQ(StateOf(&object), (State{state.id, kLongest, true}));
  state = {GUID_NULL, kLongest, true};
  ASSERT_TRUE(object.kwSetObjectDirty(false, nullptr) && object.kwSetObjectID(&state.id, nullptr));
  EXPECT_EQ(StateOf(&object), state);
  ASSERT_TRUE(object.kwSetObjectDirty(false, nullptr) && object.kwRegenerateAllObjectID(nullptr));
  EXPECT_TRUE(StateOf(&object).id != GUID_NULL && StateOf(&object).dirty);
  ASSERT_TRUE(object.kwSetObjectDirty(false, nullptr) &&
              object.kwCopyPersistentObjectData(&other, nullptr));
  EXPECT_EQ(StateOf(&other), StateOf(&object));  // the flag is copied last
}

// How many items of the module are alive.
int (*const LiveItems)() = reinterpret_cast<int (*)()>(
    dlsym(dlopen(KWTEST_PERSISTENT_ITEMS_MODULE, RTLD_NOW), "kwTestPersistentItems_Live"));

CkwServiceObject* Add(CkwPersistentObjectList& list, const GUID& clsid, std::string name) {
  CkwServiceObject* item = nullptr;
  EXPECT_TRUE(CkwObjectFactory::kwCreateObject(&clsid, &item, nullptr));
  EXPECT_TRUE(name.empty() || P(item)->kwSetObjectName(name.data(), nullptr));
  EXPECT_TRUE(list.kwAddServiceObject(item, nullptr));
  return item;
}

Items ItemsOf(CkwPersistentObjectList& list) {
  Items items;
  for (CkwServiceObject* item; list.kwGetServiceObjectByIndex(&item, int(items.size()), nullptr);)
    items.push_back(item);
  return items;
}

// The module's count of live items shows at the end that nothing leaked or was freed twice.
class PersistentObjectList : public kwFactoryTest {
 protected:
  void SetUp() override {
    kwFactoryTest::SetUp();
    Register({{kItemA, KWTEST_PERSISTENT_ITEMS_MODULE},
              {kItemB, KWTEST_PERSISTENT_ITEMS_MODULE},
              {CLSID_TestPlainItem, KWTEST_PERSISTENT_ITEMS_MODULE}});
    m_nLive = LiveItems();
  }
  void TearDown() override { EXPECT_EQ(LiveItems(), m_nLive); }

  int m_nLive = 0;
};

TEST_F(PersistentObjectList, RoundTripThroughAFileOnDisk) {
  const std::string names[] = {"Intro", kLongest, ""};
  const GUID* classes[] = {&kItemA, &kItemB, &kItemA};
  const std::string path = (m_dir / "project.kw");
  std::vector<GUID> ids;
  {
    CkwPersistentObjectList list;
    for (int i = 0; i < 3; ++i) ids.push_back(StateOf(P(Add(list, *classes[i], names[i]))).id);
    CkwComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | kwtest::kRW, 0, root.put()), S_OK);
    ASSERT_TRUE(list.kwSave(root.get(), nullptr));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(StateOf(P(ItemsOf(list)[i])).dirty);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  }
  CkwComPtr<IStorage> root, item;
  ASSERT_EQ(StgOpenStorage(path.c_str(), nullptr, kwtest::kRO, nullptr, 0, root.put()), S_OK);
  const std::string reserved = "KWMB" + Le32(32) + std::string(32, '\0');
  EXPECT_EQ(kwtest::GetStream(root.get(), u"Blank"), reserved);
  EXPECT_EQ(kwtest::GetStream(root.get(), u"Count"), Le32(3));
  EXPECT_EQ(kwtest::GetStream(root.get(), u"ItemGUID"),
            Bytes(kItemA) + Bytes(kItemB) + Bytes(kItemA));
  ASSERT_EQ(root->OpenStorage(u"Item1", nullptr, kwtest::kRO, nullptr, 0, item.put()), S_OK);
  EXPECT_EQ(
      kwtest::GetStream(item.get(), u"CPersistentObjectStream"),
      "KWVT" + std::string("\x1E\0", 2) + Le32(260) + kLongest + '\0' + Bytes(ids[1]) + reserved);
  item.reset();

  CkwPersistentObjectList loaded;
  ASSERT_TRUE(loaded.kwLoad(root.get(), nullptr));
  Items items = ItemsOf(loaded);
  ASSERT_EQ(items.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    GUID clsid{};
    EXPECT_TRUE(items[i]->kwGetCLSID(&clsid, nullptr) && clsid == *classes[i]);
    EXPECT_EQ(StateOf(P(items[i])), (State{ids[i], names[i], false}));
  }
  CkwServiceObject* found = nullptr;
  State own = StateOf(&loaded);
  ASSERT_TRUE(loaded.kwGetServiceObjectByObjectID(&found, &own.id, nullptr) && found == nullptr);
  ASSERT_TRUE(loaded.kwGetServiceObjectByObjectID(&found, &ids[1], nullptr) && found == items[1]);
  ASSERT_TRUE(loaded.kwRegenerateAllObjectID(nullptr));
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(StateOf(P(items[i])).id != ids[i] && StateOf(P(items[i])).dirty);
  EXPECT_EQ(StateOf(&loaded), own);
}

// Each row runs on a list holding a persistent item and then a plain one.
struct Mixed {
  CkwPersistentObjectList list;
  CkwComPtr<IStorage> root = MemoryRoot();
  CkwServiceObject* found = nullptr;
  GUID id{};
  Mixed() { Add(list, kItemA, "a"), Add(list, CLSID_TestPlainItem, ""); }
};
#define ROW(call, code, method) kwFAILURE_ROW(Mixed, #call, call, code, 2, method)
const kwFailureRow<Mixed> kListFailures[] = {
    ROW(o.list.kwGetServiceObjectByObjectID(nullptr, &o.id, e), 2, 0),
    ROW(o.list.kwGetServiceObjectByObjectID(&o.found, nullptr, e), 2, 0),
    ROW(o.list.kwGetServiceObjectByObjectID(&o.found, &o.id, e), 4, 0),
    ROW(o.list.kwAddServiceObject(nullptr, e), 2, 1),
    ROW(o.list.kwInsertServiceObject(nullptr, 0, e), 2, 2),
    ROW(o.list.kwReplaceServiceObject(8, nullptr, e), 2, 3),
    ROW(o.list.kwRegenerateAllObjectID(e), 4, 4),
    ROW(o.list.kwLoad(nullptr, e), 2, 5),
    ROW(o.list.kwSave(nullptr, e), 2, 6),
    ROW(o.list.kwSave(o.root.get(), e), 4, 6),
};
#undef ROW

// A failed save or load reports its own step's code, or 3 for a step inside an item; a failed
// load has freed the old items and the pending one, and keeps the items it finished.
TEST_F(PersistentObjectList, FailureTableAndFailedSavesAndLoads) {
  kwRunFailureTable(
      kListFailures, kListSource, [] { return std::make_unique<Mixed>(); },
      [](Mixed& mixed) { EXPECT_EQ(ItemsOf(mixed.list).size(), 2u); });
  const std::string names[] = {"one", "two", "three"};
  CkwPersistentObjectList list;
  for (const std::string& name : names) Add(list, kItemA, name);
  CkwComPtr<IStorage> saved = MemoryRoot();
  ASSERT_TRUE(list.kwSave(saved.get(), nullptr));
  const int base = LiveItems();
  auto load = [&](IStorage* storage, CkwErrorInfo& error) {
    CkwPersistentObjectList loaded;
    Add(loaded, kItemB, "old");
    bool ok = loaded.kwLoad(storage, &error);
    Items items = ItemsOf(loaded);
    EXPECT_EQ(LiveItems() - base, static_cast<int>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(StateOf(P(items[i])).name, names[i]);
    return std::pair(ok, items.size());
  };
  using Altered = std::tuple<const char16_t*, std::string, std::int32_t, std::size_t>;
  for (const auto& [stream, bytes, code, kept] : {
           Altered{u"Count", Le32(0), 0, 0},        // code 0: the load succeeds
           Altered{u"Count", "\x01", 0, 1},         // a short count: the bytes it has
           Altered{u"Count", Le32(1 << 30), 3, 3},  // no fourth class to create
           Altered{u"ItemGUID", Bytes(kItemA) + Bytes(CLSID_TestPlainItem), 4, 1},
       }) {
    CkwComPtr<IStorage> root = MemoryRoot();
    ASSERT_TRUE(list.kwSave(root.get(), nullptr));
    ASSERT_EQ(kwtest::PutStream(root.get(), stream, bytes), S_OK);
    CkwErrorInfo error;
    EXPECT_EQ(load(root.get(), error), std::pair(code == 0, kept));
    EXPECT_TRUE(code == 0 || kwIsFailure(error, {code, 2, 5, kListSource}));
  }
  using Fault = std::tuple<int Plan::*, int Plan::*, std::int32_t, std::int32_t>;
  for (auto [failAt, calls, code, method] : {Fault{&Plan::failCreateAt, &Plan::creates, 26, 6},
                                             Fault{&Plan::failWriteAt, &Plan::writes, 24, 6},
                                             Fault{&Plan::failOpenAt, &Plan::opens, 27, 5},
                                             Fault{&Plan::failReadAt, &Plan::reads, 25, 5}}) {
    for (int k = 1;; ++k) {
      auto plan = std::make_shared<Plan>();
      (*plan).*failAt = k;
      CkwComPtr<IStorage> faulty(
          kwtest::WrapWithFaults(method == 6 ? MemoryRoot().get() : saved.get(), plan));
      CkwErrorInfo error;
      bool ok = method == 6 ? list.kwSave(faulty.get(), &error) : load(faulty.get(), error).first;
      ASSERT_EQ(ok, (*plan).*calls < k) << code << " at call " << k;
      if (ok) break;
      std::int32_t own = k > 1 && error.m_nErrorCode == 3 ? 3 : code;
      EXPECT_TRUE(kwIsFailure(error, {own, 2, method, kListSource})) << code << " at call " << k;
    }
  }
}

// A failed load says which class it could not re-create and why. (A missing element's
// message comes from the open-failure helper every load shares.)
TEST_F(PersistentObjectList, DiagnosticsNameTheClassALoadCouldNotReCreate) {
  CkwPersistentObjectList list;
  Add(list, kItemA, "one");
  CkwComPtr<IStorage> root = MemoryRoot();
  ASSERT_TRUE(list.kwSave(root.get(), nullptr));
  const GUID unknown = {0x7E57FFFF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ASSERT_EQ(kwtest::PutStream(root.get(), u"ItemGUID", Bytes(unknown)), S_OK);
  kwTest::DiagnosticLog log;
  EXPECT_FALSE(CkwPersistentObjectList().kwLoad(root.get(), nullptr));
  EXPECT_TRUE(
      log.Contains("load: persistent list: item 0: cannot re-create class "
                   "{7E57FFFF-0001-0002-0304-05060708090A}: not available (code 7, "
                   "severity 1)"));
}

}  // namespace
