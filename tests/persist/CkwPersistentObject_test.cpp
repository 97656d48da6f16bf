#include <kwcore/CkwPersistentObject.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwWinApi.h>

namespace {

class CTestObject : public CkwPersistentObject {
 public:
  int dirtyCalls = 0;
  bool kwSetObjectDirty(bool bDirty, CkwErrorInfo* pErrorInfo) override {
    ++dirtyCalls;
    return CkwPersistentObject::kwSetObjectDirty(bDirty, pErrorInfo);
  }
};

GUID IdOf(CkwPersistentObject& object) {
  GUID id{};
  EXPECT_TRUE(object.kwGetObjectID(&id, nullptr));
  return id;
}

bool IsDirty(CkwPersistentObject& object) {
  bool dirty = false;
  EXPECT_TRUE(object.kwIsObjectDirty(&dirty, nullptr));
  return dirty;
}

std::string NameOf(CkwPersistentObject& object) {
  char* name = nullptr;
  EXPECT_TRUE(object.kwGetObjectName(&name, nullptr));
  std::string copy = name ? name : "<null>";
  HGLOBAL handle = GlobalHandle(name);
  EXPECT_NE(handle, nullptr);
  EXPECT_GE(GlobalSize(handle), copy.size() + 1);
  GlobalUnlock(handle);
  EXPECT_EQ(GlobalFree(handle), nullptr);
  return copy;
}

bool SetName(CkwPersistentObject& object, std::string name, CkwErrorInfo* error = nullptr) {
  return object.kwSetObjectName(name.data(), error);
}

// A compound file in a fresh temporary directory, removed afterwards.
class TempStorage {
 public:
  TempStorage() {
    char pattern[] = "/tmp/kwcore-persist-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/object.cfb";
  }
  ~TempStorage() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  IStorage* Create() {
    IStorage* root = nullptr;
    EXPECT_EQ(StgCreateDocfile(path_.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                               0, &root),
              S_OK);
    return root;
  }
  IStorage* Open() {
    IStorage* root = nullptr;
    EXPECT_EQ(
        StgOpenStorage(path_.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &root),
        S_OK);
    return root;
  }

 private:
  std::string dir_;
  std::string path_;
};

TEST(PersistentObject, NewObjectsAreCleanEmptyAndDistinct) {
  CTestObject a, b;
  EXPECT_NE(IdOf(a), IdOf(b));
  EXPECT_NE(IdOf(a), GUID_NULL);
  EXPECT_FALSE(IsDirty(a));
  EXPECT_EQ(NameOf(a), "");
  CTestObject copy(a);
  EXPECT_EQ(IdOf(copy), IdOf(a));
}

TEST(PersistentObject, DirtyFlagRules) {
  CTestObject object;
  GUID id = IdOf(object);
  ASSERT_TRUE(object.kwSetObjectID(&id, nullptr));  // same ID: unchanged
  EXPECT_FALSE(IsDirty(object));
  ASSERT_TRUE(SetName(object, ""));  // same name: unchanged
  EXPECT_FALSE(IsDirty(object));
  EXPECT_EQ(object.dirtyCalls, 0);
  ASSERT_TRUE(SetName(object, "Menu 1"));
  EXPECT_TRUE(IsDirty(object));
  EXPECT_EQ(object.dirtyCalls, 1);  // through the slot
  ASSERT_TRUE(object.kwSetObjectDirty(false, nullptr));
  id.Data1 ^= 1;
  ASSERT_TRUE(object.kwSetObjectID(&id, nullptr));
  EXPECT_TRUE(IsDirty(object));
  object.kwSetObjectDirty(false, nullptr);
  GUID before = IdOf(object);
  ASSERT_TRUE(object.kwRegenerateAllObjectID(nullptr));
  EXPECT_NE(IdOf(object), before);
  EXPECT_TRUE(IsDirty(object));
}

TEST(PersistentObject, NamesUpToTheLimitAndRefusedBeyond) {
  CTestObject object;
  std::string longest(CkwPersistentObject::kMaxNameLength, 'n');
  ASSERT_TRUE(SetName(object, longest));
  EXPECT_EQ(NameOf(object), longest);
  CkwErrorInfo error;
  EXPECT_FALSE(SetName(object, longest + "x", &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_OUT_OF_RANGE);
  EXPECT_EQ(error.m_nMethod, 5);
  EXPECT_EQ(NameOf(object), longest);  // kept
}

TEST(PersistentObject, RoundTripThroughACompoundFile) {
  TempStorage file;
  CTestObject saved;
  std::string name(CkwPersistentObject::kMaxNameLength, 'a');
  name.replace(0, 10, "Chapter \xC3\xA9");  // 10 bytes: the é takes two
  ASSERT_TRUE(SetName(saved, name));
  IStorage* root = file.Create();
  CkwErrorInfo error;
  ASSERT_TRUE(saved.kwSave(root, &error));
  EXPECT_FALSE(IsDirty(saved));
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root->Release();

  root = file.Open();
  CTestObject loaded;
  loaded.kwSetObjectDirty(true, nullptr);
  ASSERT_TRUE(loaded.kwLoad(root, &error));
  root->Release();
  EXPECT_EQ(IdOf(loaded), IdOf(saved));
  EXPECT_EQ(NameOf(loaded), name);
  EXPECT_FALSE(IsDirty(loaded));
}

TEST(PersistentObject, LoadWithoutTheStreamClearsAndFails) {
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateMemoryDocfile(STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &root), S_OK);
  CTestObject object;
  SetName(object, "kept?");
  CkwErrorInfo error;
  EXPECT_FALSE(object.kwLoad(root, &error));
  EXPECT_EQ(error.m_nErrorCode, kwERROR_OPEN_ELEMENT_FAILED);
  EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR);
  EXPECT_EQ(error.m_nMethod, 0);
  EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObject);
  EXPECT_EQ(IdOf(object), GUID_NULL);
  EXPECT_EQ(NameOf(object), "");
  root->Release();
}

TEST(PersistentObject, NullArgumentTable) {
  CTestObject object;
  CTestObject* self = &object;
  struct Case {
    std::int32_t method;
    bool (*call)(CTestObject*, CkwErrorInfo*);
  } cases[] = {
      {0, [](CTestObject* o, CkwErrorInfo* e) { return o->kwLoad(nullptr, e); }},
      {1, [](CTestObject* o, CkwErrorInfo* e) { return o->kwSave(nullptr, e); }},
      {2, [](CTestObject* o, CkwErrorInfo* e) { return o->kwGetObjectID(nullptr, e); }},
      {3, [](CTestObject* o, CkwErrorInfo* e) { return o->kwSetObjectID(nullptr, e); }},
      {4, [](CTestObject* o, CkwErrorInfo* e) { return o->kwGetObjectName(nullptr, e); }},
      {5, [](CTestObject* o, CkwErrorInfo* e) { return o->kwSetObjectName(nullptr, e); }},
      {8, [](CTestObject* o, CkwErrorInfo* e) { return o->kwIsObjectDirty(nullptr, e); }},
      {10,
       [](CTestObject* o, CkwErrorInfo* e) { return o->kwCopyPersistentObjectData(nullptr, e); }},
  };
  for (const Case& c : cases) {
    CkwErrorInfo error;
    EXPECT_FALSE(c.call(self, &error)) << c.method;
    EXPECT_EQ(error.m_nErrorCode, kwERROR_NULL_POINTER) << c.method;
    EXPECT_EQ(error.m_nSeverity, kwSEVERITY_ERROR) << c.method;
    EXPECT_EQ(error.m_nMethod, c.method);
    EXPECT_EQ(error.m_pSource, &kwGUID_SourcePersistentObject) << c.method;
    EXPECT_FALSE(c.call(self, nullptr)) << c.method;
  }
}

TEST(PersistentObject, CopyDataEndsWithTheSourceFlag) {
  CTestObject source, target;
  SetName(source, "Title");
  source.kwSetObjectDirty(false, nullptr);
  ASSERT_TRUE(source.kwCopyPersistentObjectData(&target, nullptr));
  EXPECT_EQ(IdOf(target), IdOf(source));
  EXPECT_EQ(NameOf(target), "Title");
  EXPECT_FALSE(IsDirty(target));  // ID and name changes marked it, the flag copy cleared it
  EXPECT_EQ(target.dirtyCalls, 3);
}

}  // namespace
