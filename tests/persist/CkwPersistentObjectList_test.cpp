#include <kwcore/CkwPersistentObjectList.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwWinApi.h>

#include "components/persistent_items.h"
#include "support/CkwFaultyStorage.h"

namespace {

int LiveItems() {
  // The module is already loaded by the factory; this only finds it again.
  void* module = dlopen(KWTEST_PERSISTENT_ITEMS_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return -1;
  auto live = reinterpret_cast<int (*)()>(dlsym(module, "kwTestPersistentItems_Live"));
  int count = live ? live() : -1;
  dlclose(module);
  return count;
}

std::string KeyOf(const GUID& clsid) {
  char text[kwGUID_STRING_LENGTH + 1];
  kwGUIDToString(clsid, text, sizeof text);
  return std::string(text + 1, kwGUID_STRING_LENGTH - 2);
}

CkwServiceObject* Create(const GUID& clsid) {
  CkwServiceObject* object = nullptr;
  CkwErrorInfo error;
  EXPECT_TRUE(CkwObjectFactory::kwCreateObject(&clsid, &object, &error));
  return object;
}

SkwPersistentObject_Method* Persistence(CkwServiceObject* item) {
  void* service = nullptr;
  EXPECT_TRUE(item->kwQueryService(&IID_SkwPersistentObject_Method, &service, nullptr));
  return static_cast<SkwPersistentObject_Method*>(service);
}

GUID IdOf(CkwServiceObject* item) {
  GUID id{};
  Persistence(item)->kwGetObjectID(&id, nullptr);
  return id;
}

std::string NameOf(CkwServiceObject* item) {
  char* name = nullptr;
  Persistence(item)->kwGetObjectName(&name, nullptr);
  std::string copy = name;
  HGLOBAL handle = GlobalHandle(name);
  GlobalUnlock(handle);
  GlobalFree(handle);
  return copy;
}

std::vector<CkwServiceObject*> Items(CkwServiceObjectList& list) {
  std::vector<CkwServiceObject*> items;
  CkwServiceObject* item = nullptr;
  std::intptr_t position = 0;
  for (bool more = list.kwGetFirstServiceObject(&item, &position, nullptr); more;
       more = list.kwGetNextServiceObject(&item, &position, nullptr))
    items.push_back(item);
  return items;
}

struct CountingClient : SkwServiceObjectList_Notify {
  int calls = 0;
  bool kwNotifyContentChange(CkwServiceObjectList*, CkwErrorInfo*) override {
    ++calls;
    return true;
  }
};

// Registers the test component module for the item classes in a fresh
// directory, which also holds the compound files the tests write.
class PersistentObjectList : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kwcore-plist-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::ofstream ini(dir_ + "/items.ini");
    ini << "[COMPONENT]\n";
    for (const GUID* clsid : {&CLSID_TestPersistentItem, &CLSID_TestPersistentItemB,
                              &CLSID_TestPlainItem, &CLSID_TestFailingLoadItem})
      ini << KeyOf(*clsid) << "=" << KWTEST_PERSISTENT_ITEMS_MODULE << "\n";
    ini.close();
    ASSERT_TRUE(
        CkwObjectFactory::kwSetComponentRegistrationFile(dir_.c_str(), "items.ini", nullptr));
    live_ = LiveItems();
  }
  void TearDown() override {
    EXPECT_EQ(LiveItems(), live_) << "items leaked or freed twice";
    std::system(("rm -rf " + dir_).c_str());
  }

  std::string Path(const char* name) const { return dir_ + "/" + name; }

  IStorage* CreateFile(const char* name) {
    IStorage* root = nullptr;
    EXPECT_EQ(StgCreateDocfile(Path(name).c_str(), STGM_CREATE | STGM_READWRITE, 0, &root), S_OK);
    return root;
  }
  IStorage* OpenFile(const char* name) {
    IStorage* root = nullptr;
    EXPECT_EQ(StgOpenStorage(Path(name).c_str(), nullptr, STGM_READ, nullptr, 0, &root), S_OK);
    return root;
  }

  CkwServiceObject* AddNamed(CkwPersistentObjectList& list, const GUID& clsid, std::string name) {
    CkwServiceObject* item = Create(clsid);
    if (name.size()) Persistence(item)->kwSetObjectName(name.data(), nullptr);
    EXPECT_TRUE(list.kwAddServiceObject(item, nullptr));
    return item;
  }

  std::string dir_;
  int live_ = 0;
};

std::vector<BYTE> StreamBytes(IStorage* storage, const char16_t* name) {
  IStream* stream = nullptr;
  std::vector<BYTE> bytes;
  if (FAILED(storage->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream)))
    return {0xDE, 0xAD};
  BYTE buffer[4096];
  ULONG got = 0;
  while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  stream->Release();
  return bytes;
}

void WriteStream(IStorage* storage, const char16_t* name, const std::vector<BYTE>& bytes) {
  IStream* stream = nullptr;
  ASSERT_EQ(storage->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                  &stream),
            S_OK);
  ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
  stream->Release();
}

TEST_F(PersistentObjectList, RoundTripThroughAFileOnDisk) {
  std::vector<GUID> ids;
  {
    CkwPersistentObjectList list;
    AddNamed(list, CLSID_TestPersistentItem, "Intro");
    AddNamed(list, CLSID_TestPersistentItemB, "Chapter 1");
    AddNamed(list, CLSID_TestPersistentItem, "");
    for (CkwServiceObject* item : Items(list)) ids.push_back(IdOf(item));
    IStorage* root = CreateFile("project.kw");
    CkwErrorInfo error;
    ASSERT_TRUE(list.kwSave(root, &error));
    // The iteration's end-of-list warning stays behind on success.
    EXPECT_EQ(error.m_nErrorCode, kwERROR_NOT_FOUND);
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    root->Release();
  }
  CkwPersistentObjectList loaded;
  CountingClient client;
  loaded.kwRegisterContentChangeNotifyClient(&client, nullptr);
  AddNamed(loaded, CLSID_TestPersistentItem, "replaced by the load");
  client.calls = 0;
  IStorage* root = OpenFile("project.kw");
  CkwErrorInfo error;
  ASSERT_TRUE(loaded.kwLoad(root, &error)) << error.m_nErrorCode;
  root->Release();
  EXPECT_EQ(client.calls, 3);
  auto items = Items(loaded);
  ASSERT_EQ(items.size(), 3u);
  const GUID* classes[] = {&CLSID_TestPersistentItem, &CLSID_TestPersistentItemB,
                           &CLSID_TestPersistentItem};
  const char* names[] = {"Intro", "Chapter 1", ""};
  for (std::size_t i = 0; i < 3; ++i) {
    GUID clsid{};
    ASSERT_TRUE(items[i]->kwGetCLSID(&clsid, nullptr));
    EXPECT_EQ(clsid, *classes[i]) << i;
    EXPECT_EQ(IdOf(items[i]), ids[i]) << i;
    EXPECT_EQ(NameOf(items[i]), names[i]) << i;
    bool dirty = true;
    Persistence(items[i])->kwIsObjectDirty(&dirty, nullptr);
    EXPECT_FALSE(dirty) << i;
  }
  CkwServiceObject* found = nullptr;
  GUID wanted = ids[1];
  ASSERT_TRUE(loaded.kwGetServiceObjectByObjectID(&found, &wanted, nullptr));
  EXPECT_EQ(found, items[1]);
}

TEST_F(PersistentObjectList, StoredLayoutByteByByte) {
  CkwPersistentObjectList list;
  CkwServiceObject* first = AddNamed(list, CLSID_TestPersistentItem, "A");
  CkwServiceObject* second = AddNamed(list, CLSID_TestPersistentItemB, "B");
  IStorage* root = CreateFile("layout.kw");
  ASSERT_TRUE(list.kwSave(root, nullptr));
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root->Release();

  root = OpenFile("layout.kw");
  EXPECT_EQ(StreamBytes(root, u"Count"), (std::vector<BYTE>{2, 0, 0, 0}));
  std::vector<BYTE> guids(32);
  kwGUIDToBytes(CLSID_TestPersistentItem, guids.data());
  kwGUIDToBytes(CLSID_TestPersistentItemB, guids.data() + 16);
  EXPECT_EQ(StreamBytes(root, u"ItemGUID"), guids);

  // "Blank" holds exactly one memory block of 32 zero bytes.
  std::vector<BYTE> blank = {'K', 'W', 'M', 'B', 32, 0, 0, 0};
  blank.insert(blank.end(), 32, 0);
  EXPECT_EQ(StreamBytes(root, u"Blank"), blank);

  // Each item saved itself into "Item<index>": the name as a variant, the
  // 16 ID bytes, and the reserved memory block of 32 zero bytes.
  for (auto [name, item, text] :
       {std::tuple{u"Item0", first, "A"}, std::tuple{u"Item1", second, "B"}}) {
    IStorage* child = nullptr;
    ASSERT_EQ(
        root->OpenStorage(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child),
        S_OK);
    std::vector<BYTE> expected = {'K', 'W', 'V', 'T', 0x1E, 0, 2, 0, 0, 0, BYTE(text[0]), 0};
    BYTE id[16];
    kwGUIDToBytes(IdOf(item), id);
    expected.insert(expected.end(), id, id + 16);
    expected.insert(expected.end(), {'K', 'W', 'M', 'B', 32, 0, 0, 0});
    expected.insert(expected.end(), 32, 0);
    EXPECT_EQ(StreamBytes(child, u"CPersistentObjectStream"), expected);
    child->Release();
  }
  root->Release();

  // An independent reader sees the same tree.
  std::string script =
      std::string("import olefile,sys\n") +
      "f=olefile.OleFileIO(sys.argv[1])\n"
      "print(sorted('/'.join(p) for p in f.listdir(streams=True,storages=True)))\n"
      "print(f.openstream('Count').read().hex(), f.openstream('ItemGUID').read().hex())\n";
  FILE* pipe = popen(
      ("/usr/bin/python3 - " + Path("layout.kw") + " <<'EOF'\n" + script + "EOF\n").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[4096];
  std::string output;
  while (fgets(line, sizeof line, pipe)) output += line;
  ASSERT_EQ(pclose(pipe), 0) << output;
  EXPECT_NE(output.find("'Blank', 'Count', 'Item0', 'Item0/CPersistentObjectStream', 'Item1', "
                        "'Item1/CPersistentObjectStream', 'ItemGUID'"),
            std::string::npos)
      << output;
  std::string guidHex;
  char hex[3];
  for (BYTE b : guids) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    guidHex += hex;
  }
  EXPECT_NE(output.find("02000000 " + guidHex), std::string::npos) << output;
}

TEST_F(PersistentObjectList, EmptyListAndCountsOfZeroOrLess) {
  CkwPersistentObjectList list;
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &root), S_OK);
  ASSERT_TRUE(list.kwSave(root, nullptr));
  EXPECT_EQ(StreamBytes(root, u"Count"), (std::vector<BYTE>{0, 0, 0, 0}));
  EXPECT_TRUE(StreamBytes(root, u"ItemGUID").empty());
  IStorage* child = nullptr;
  EXPECT_EQ(
      root->OpenStorage(u"Item0", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child),
      STG_E_FILENOTFOUND);

  for (std::vector<BYTE> count :
       {std::vector<BYTE>{0, 0, 0, 0}, std::vector<BYTE>{0xFB, 0xFF, 0xFF, 0xFF}}) {
    WriteStream(root, u"Count", count);
    CkwPersistentObjectList loaded;
    AddNamed(loaded, CLSID_TestPersistentItem, "freed by the load");
    ASSERT_TRUE(loaded.kwLoad(root, nullptr));
    EXPECT_TRUE(Items(loaded).empty());
  }
  root->Release();
}

// Ownership with objects from a component module, counted by the module
// itself: replace, delete-all and destruction free through the factory;
// remove and remove-all hand the objects back unfreed.
TEST_F(PersistentObjectList, PlainListFreesModuleObjectsThroughTheFactory) {
  const int base = LiveItems();
  CkwServiceObject* removed = Create(CLSID_TestPlainItem);
  CkwServiceObject* dropped = Create(CLSID_TestPlainItem);
  {
    CkwServiceObjectList list;
    CkwServiceObject* first = Create(CLSID_TestPlainItem);
    ASSERT_TRUE(list.kwAddServiceObject(first, nullptr));
    ASSERT_TRUE(list.kwAddServiceObject(removed, nullptr));
    ASSERT_TRUE(list.kwAddServiceObject(Create(CLSID_TestPersistentItem), nullptr));
    EXPECT_EQ(LiveItems(), base + 4);
    ASSERT_TRUE(list.kwReplaceServiceObject(reinterpret_cast<std::intptr_t>(first),
                                            Create(CLSID_TestPlainItem), nullptr));
    EXPECT_EQ(LiveItems(), base + 4);  // the replaced one was freed
    ASSERT_TRUE(list.kwRemoveServiceObject(removed, nullptr));
    ASSERT_TRUE(list.kwDeleteAllServiceObject(nullptr));
    EXPECT_EQ(LiveItems(), base + 2);  // only the removed and the unlisted one are left
    ASSERT_TRUE(list.kwAddServiceObject(dropped, nullptr));
    ASSERT_TRUE(list.kwAddServiceObject(removed, nullptr));
    ASSERT_TRUE(list.kwRemoveAllServiceObject(nullptr));
    EXPECT_EQ(LiveItems(), base + 2);
    ASSERT_TRUE(list.kwAddServiceObject(Create(CLSID_TestPlainItem), nullptr));
  }
  EXPECT_EQ(LiveItems(), base + 2);  // destruction freed its one item
  CkwObjectFactory::kwFreeObject(&removed, nullptr);
  CkwObjectFactory::kwFreeObject(&dropped, nullptr);
  EXPECT_EQ(LiveItems(), base);
}

// Hostile or damaged counts: a count far beyond the stored items stops at the
// first CLSID that is not there (a short read leaves it zero, which no
// component serves), and a short "Count" stream gives the bytes it has.
TEST_F(PersistentObjectList, CountsThatDisagreeWithTheStoredItems) {
  CkwPersistentObjectList list;
  AddNamed(list, CLSID_TestPersistentItem, "only");
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &root), S_OK);
  ASSERT_TRUE(list.kwSave(root, nullptr));

  WriteStream(root, u"Count", {0xFF, 0xFF, 0xFF, 0x7F});
  CkwPersistentObjectList loaded;
  CkwErrorInfo error;
  EXPECT_FALSE(loaded.kwLoad(root, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_INVALID_POSITION);
  EXPECT_EQ(error.m_nMethod, 5);
  ASSERT_EQ(Items(loaded).size(), 1u);
  EXPECT_EQ(NameOf(Items(loaded)[0]), "only");

  WriteStream(root, u"Count", {1});
  ASSERT_TRUE(loaded.kwLoad(root, &error)) << error.m_nErrorCode;
  EXPECT_EQ(Items(loaded).size(), 1u);
  WriteStream(root, u"Count", {});
  ASSERT_TRUE(loaded.kwLoad(root, &error)) << error.m_nErrorCode;
  EXPECT_TRUE(Items(loaded).empty());
  root->Release();
}

TEST_F(PersistentObjectList, LoadFailingAtAnItemKeepsTheEarlierOnes) {
  CkwPersistentObjectList list;
  AddNamed(list, CLSID_TestPersistentItem, "kept");
  AddNamed(list, CLSID_TestFailingLoadItem, "fails");
  AddNamed(list, CLSID_TestPersistentItem, "never reached");
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &root), S_OK);
  ASSERT_TRUE(list.kwSave(root, nullptr));
  CkwPersistentObjectList loaded;
  CkwErrorInfo error;
  EXPECT_FALSE(loaded.kwLoad(root, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_INVALID_POSITION);
  EXPECT_EQ(error.m_nMethod, 5);
  EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObjectList);
  auto items = Items(loaded);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(NameOf(items[0]), "kept");
  root->Release();
  // TearDown's live count proves the pending item was freed.
}

TEST_F(PersistentObjectList, LoadFreesTheOldItemsEvenWhenItFails) {
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &root), S_OK);  // no "Blank"
  CkwPersistentObjectList list;
  AddNamed(list, CLSID_TestPersistentItem, "old");
  int before = LiveItems();
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwLoad(root, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_OPEN_ELEMENT_FAILED);
  EXPECT_EQ(LiveItems(), before - 1);
  EXPECT_TRUE(Items(list).empty());
  root->Release();
}

TEST_F(PersistentObjectList, AnUnservedClassFailsTheLoad) {
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &root), S_OK);
  CkwPersistentObjectList list;
  AddNamed(list, CLSID_TestPersistentItem, "x");
  ASSERT_TRUE(list.kwSave(root, nullptr));
  std::vector<BYTE> guid(16);
  kwGUIDToBytes(CLSID_TestUnservedItem, guid.data());
  WriteStream(root, u"ItemGUID", guid);
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwLoad(root, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_INVALID_POSITION);
  EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObjectList);
  root->Release();
}

TEST_F(PersistentObjectList, ItemsWithoutPersistence) {
  CkwPersistentObjectList list;
  AddNamed(list, CLSID_TestPersistentItem, "fine");
  list.kwAddServiceObject(Create(CLSID_TestPlainItem), nullptr);
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &root), S_OK);
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwSave(root, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_SERVICE_NOT_OFFERED);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR);
  EXPECT_EQ(error.m_nMethod, 6);
  // Its CLSID was written and its storage created before the query failed.
  EXPECT_EQ(StreamBytes(root, u"ItemGUID").size(), 32u);
  IStorage* child = nullptr;
  EXPECT_EQ(
      root->OpenStorage(u"Item1", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child),
      S_OK);
  if (child) child->Release();

  GUID unknown = GUID_NULL;
  CkwServiceObject* found = reinterpret_cast<CkwServiceObject*>(0x8);
  EXPECT_FALSE(list.kwGetServiceObjectByObjectID(&found, &unknown, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_SERVICE_NOT_OFFERED);
  EXPECT_EQ(error.m_nMethod, 0);
  EXPECT_FALSE(list.kwRegenerateAllObjectID(&error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_SERVICE_NOT_OFFERED);
  EXPECT_EQ(error.m_nMethod, 4);
  root->Release();
}

TEST_F(PersistentObjectList, SearchByObjectIdAndRegeneration) {
  CkwPersistentObjectList list;
  CkwServiceObject* a = AddNamed(list, CLSID_TestPersistentItem, "a");
  CkwServiceObject* b = AddNamed(list, CLSID_TestPersistentItem, "b");
  GUID duplicate = IdOf(a);
  Persistence(b)->kwSetObjectID(&duplicate, nullptr);
  CkwServiceObject* found = nullptr;
  ASSERT_TRUE(list.kwGetServiceObjectByObjectID(&found, &duplicate, nullptr));
  EXPECT_EQ(found, a);  // first match wins

  GUID own{};
  list.kwGetObjectID(&own, nullptr);
  found = reinterpret_cast<CkwServiceObject*>(0x8);
  EXPECT_TRUE(list.kwGetServiceObjectByObjectID(&found, &own, nullptr));
  EXPECT_EQ(found, reinterpret_cast<CkwServiceObject*>(0x8));  // the list's own ID is not an item's

  Persistence(a)->kwSetObjectDirty(false, nullptr);
  ASSERT_TRUE(list.kwRegenerateAllObjectID(nullptr));
  EXPECT_NE(IdOf(a), duplicate);
  EXPECT_NE(IdOf(b), duplicate);
  EXPECT_NE(IdOf(a), IdOf(b));
  GUID ownAfter{};
  list.kwGetObjectID(&ownAfter, nullptr);
  EXPECT_EQ(ownAfter, own);
  bool dirty = false;
  Persistence(a)->kwIsObjectDirty(&dirty, nullptr);
  EXPECT_TRUE(dirty);
  list.kwIsObjectDirty(&dirty, nullptr);
  EXPECT_FALSE(dirty);
}

TEST_F(PersistentObjectList, NullArgumentTable) {
  CkwPersistentObjectList list;
  CkwServiceObject* found = nullptr;
  GUID id{};
  struct Case {
    std::int32_t method;
    std::function<bool(CkwErrorInfo*)> call;
  } cases[] = {
      {0, [&](CkwErrorInfo* e) { return list.kwGetServiceObjectByObjectID(nullptr, &id, e); }},
      {0, [&](CkwErrorInfo* e) { return list.kwGetServiceObjectByObjectID(&found, nullptr, e); }},
      {1, [&](CkwErrorInfo* e) { return list.kwAddServiceObject(nullptr, e); }},
      {2, [&](CkwErrorInfo* e) { return list.kwInsertServiceObject(nullptr, 0, e); }},
      {3, [&](CkwErrorInfo* e) { return list.kwReplaceServiceObject(8, nullptr, e); }},
      {5, [&](CkwErrorInfo* e) { return list.kwLoad(nullptr, e); }},
      {6, [&](CkwErrorInfo* e) { return list.kwSave(nullptr, e); }},
  };
  for (const Case& c : cases) {
    CkwErrorInfo error;
    EXPECT_FALSE(c.call(&error)) << c.method;
    EXPECT_EQ(error.m_nErrorCode, kwERROR_NULL_POINTER) << c.method;
    EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR) << c.method;
    EXPECT_EQ(error.m_nMethod, c.method);
    EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObjectList) << c.method;
  }
  // A zero position in replace is the base list's to report.
  CkwServiceObject* item = Create(CLSID_TestPersistentItem);
  CkwErrorInfo error;
  EXPECT_FALSE(list.kwReplaceServiceObject(0, item, &error));
  EXPECT_EQ(error.m_pSource, &kwGUID_SourceServiceObjectList);
  EXPECT_EQ(error.m_nMethod, 5);
  CkwObjectFactory::kwFreeObject(&item, nullptr);
}

// Every storage call of a save and of a load made to fail in turn: each
// failure is reported (the list's own step by its storage code, a step inside
// an item as code 3), nothing leaks, and a failed load keeps exactly the
// items it had finished.
TEST_F(PersistentObjectList, FailureInjectedAtEveryStorageStep) {
  CkwPersistentObjectList list;
  AddNamed(list, CLSID_TestPersistentItem, "one");
  AddNamed(list, CLSID_TestPersistentItemB, "two");
  AddNamed(list, CLSID_TestPersistentItem, "three");

  auto clean = std::make_shared<kwtest::CkwFaultPlan>();
  IStorage* real = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &real), S_OK);
  IStorage* wrapped = kwtest::WrapWithFaults(real, clean);
  ASSERT_TRUE(list.kwSave(wrapped, nullptr));
  wrapped->Release();
  const int creates = clean->creates, writes = clean->writes;
  ASSERT_GT(creates, 3);
  ASSERT_GT(writes, 3);

  for (int which = 0; which < 2; ++which) {
    int total = which == 0 ? creates : writes;
    for (int k = 1; k <= total; ++k) {
      IStorage* target = nullptr;
      ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE, &target), S_OK);
      auto plan = std::make_shared<kwtest::CkwFaultPlan>();
      (which == 0 ? plan->failCreateAt : plan->failWriteAt) = k;
      IStorage* faulty = kwtest::WrapWithFaults(target, plan);
      CkwErrorInfo error;
      EXPECT_FALSE(list.kwSave(faulty, &error)) << which << " at " << k;
      std::set<std::int32_t> expected =
          which == 0 ? std::set<std::int32_t>{kwERROR_CREATE_ELEMENT_FAILED, 3}
                     : std::set<std::int32_t>{kwERROR_STREAM_WRITE_FAILED, 3};
      EXPECT_TRUE(expected.count(error.m_nErrorCode)) << error.m_nErrorCode << " at " << k;
      EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR);
      EXPECT_EQ(error.m_nMethod, 6);
      EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObjectList);
      faulty->Release();
      target->Release();
    }
  }
  EXPECT_EQ(Items(list).size(), 3u);  // saving never changes the list

  auto counting = std::make_shared<kwtest::CkwFaultPlan>();
  wrapped = kwtest::WrapWithFaults(real, counting);
  {
    CkwPersistentObjectList loaded;
    ASSERT_TRUE(loaded.kwLoad(wrapped, nullptr));
  }
  wrapped->Release();
  const int opens = counting->opens, reads = counting->reads;
  const int baseline = LiveItems();
  for (int which = 0; which < 2; ++which) {
    int total = which == 0 ? opens : reads;
    for (int k = 1; k <= total; ++k) {
      auto plan = std::make_shared<kwtest::CkwFaultPlan>();
      (which == 0 ? plan->failOpenAt : plan->failReadAt) = k;
      IStorage* faulty = kwtest::WrapWithFaults(real, plan);
      CkwPersistentObjectList loaded;
      CkwErrorInfo error;
      EXPECT_FALSE(loaded.kwLoad(faulty, &error)) << which << " at " << k;
      std::set<std::int32_t> expected = which == 0
                                            ? std::set<std::int32_t>{kwERROR_OPEN_ELEMENT_FAILED, 3}
                                            : std::set<std::int32_t>{kwERROR_STREAM_READ_FAILED, 3};
      EXPECT_TRUE(expected.count(error.m_nErrorCode)) << error.m_nErrorCode << " at " << k;
      EXPECT_EQ(error.m_nMethod, 5);
      EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObjectList);
      // The pending item was freed: every live item is a listed one.
      EXPECT_EQ(LiveItems() - baseline, static_cast<int>(Items(loaded).size())) << k;
      faulty->Release();
    }
  }
  real->Release();
}

}  // namespace
