// Every main operation run out of memory at each of its allocations in turn:
// it must not crash or leak (the asan preset), must fail with its documented
// code, and a failed commit must leave the file on disk as it was.
// KWCORE_SWEEP_STRIDE=k fails every kth allocation only (1: all of them).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <kwcore/CkwCheckLinkInfo.h>
#include <kwcore/CkwDiscTemplateSettings.h>
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinApi.h>
#include <kwcore/kwcpp.h>

#include "components/persistent_items.h"
#include "support/kwFailingAllocation.h"
#include "support/kwStorageTestUtil.h"
#include "support/kwTempDir.h"

namespace {

int Stride() {
  const char* text = std::getenv("KWCORE_SWEEP_STRIDE");
  int stride = text != nullptr ? std::atoi(text) : 0;
  return stride > 0 ? stride : 3;
}

// Runs `operation` with the nth allocation from its start failing; true when it got that far.
bool FailingAt(int n, const std::function<void()>& operation) {
  kwTest::FailAllocation(n);
  operation();
  bool reached = kwTest::PendingAllocationFailure() == 0;
  kwTest::FailAllocation(0);
  return reached;
}

// run(n) in a child process: 0 reached n, 1 did not, 2 a check failed, -1 the child died.
int InChild(const std::function<bool(int)>& run, int n) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    bool reached = run(n);
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 2 : reached ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Calls run(n) for n = 1, 1 + stride, ... until an operation no longer reaches n. With
// KWCORE_SWEEP_FORK=1 each run is a child process, so that a run that aborts is counted and
// the sweep goes on (leaks are then not checked).
void Sweep(const char* what, const std::function<bool(int)>& run) {
  const char* fork = std::getenv("KWCORE_SWEEP_FORK");
  int runs = 0, aborts = 0, failures = 0;
  for (int n = 1;; n += Stride()) {
    ++runs;
    if (fork == nullptr || std::strcmp(fork, "1") != 0) {
      if (!run(n)) break;
      continue;
    }
    int result = InChild(run, n);
    if (result == 1) break;
    aborts += result == -1;
    failures += result == 2;
  }
  EXPECT_EQ(aborts + failures, 0) << what << ": " << aborts << " aborts, " << failures
                                  << " failed checks";
  std::printf("%s: %d runs, %d aborts, %d failed checks\n", what, runs, aborts, failures);
}

// A failure that running out of memory explains: code 1, or one of `inner`, the codes an
// operation documents for a failed inner step; severity 2 either way.
::testing::AssertionResult OutOfMemory(const CkwErrorInfo& error,
                                       std::initializer_list<int> inner = {}) {
  bool known = error.m_nErrorCode == kwERROR_OUT_OF_MEMORY;
  for (int code : inner) known = known || error.m_nErrorCode == code;
  if (known && error.m_nSeverity == kwSEVERITY_ERROR) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "code " << error.m_nErrorCode << " severity " << error.m_nSeverity;
}

bool Failed(HRESULT status) {
  return status == E_OUTOFMEMORY || status == STG_E_INSUFFICIENTMEMORY;
}

struct CItem : CkwServiceObject {};

// Registration of the test item module, and 1000 CLSIDs of the same module that the module
// does not serve: creating them all evicts every other CLSID from the factory's table, so
// that the next creation searches the registration file again.
class Sweeps : public ::testing::Test {
 protected:
  static GUID Filler(int i) {
    return {0x5EE00000u + static_cast<unsigned>(i), 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  }
  void SetUp() override {
    CkwObjectFactory::kwEnableDefaultRegistrationFileSearch(false, nullptr);
    std::vector<std::pair<GUID, std::string>> pairs{
        {CLSID_TestPersistentItem, KWTEST_PERSISTENT_ITEMS_MODULE},
        {CLSID_TestPersistentItemB, KWTEST_PERSISTENT_ITEMS_MODULE}};
    for (int i = 0; i < 1000; ++i) pairs.emplace_back(Filler(i), KWTEST_PERSISTENT_ITEMS_MODULE);
    kwTest::WriteFile(m_dir / "items.ini", kwTest::Registration(pairs));
    ASSERT_TRUE(CkwObjectFactory::kwSetComponentRegistrationFile(m_dir.path().c_str(), "items.ini",
                                                                 nullptr));
  }
  static void Evict() {
    for (int i = 0; i < 1000; ++i) {
      GUID clsid = Filler(i);
      CkwServiceObject* object = nullptr;
      CkwObjectFactory::kwCreateObject(&clsid, &object, nullptr);
    }
  }
  static void Fill(CkwPersistentObjectList& list, int count) {
    for (int i = 0; i < count; ++i) {
      CkwServiceObject* item = nullptr;
      const GUID& clsid = i % 2 ? CLSID_TestPersistentItemB : CLSID_TestPersistentItem;
      ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&clsid, &item, nullptr));
      ASSERT_TRUE(list.kwAddServiceObject(item, nullptr));
    }
  }
  std::string SavedList(int count) {
    CkwPersistentObjectList list;
    Fill(list, count);
    CkwComPtr<IStorage> root;
    EXPECT_EQ(StgCreateMemoryDocfile(kwtest::kRW, root.put()), S_OK);
    EXPECT_TRUE(list.kwSave(root.get(), nullptr));
    return kwtest::Image(root.get());
  }

  kwTest::TempDir m_dir;
};

TEST_F(Sweeps, FactoryCreationByCLSIDAndRegistrationListChanges) {
  Sweep("create by CLSID", [&](int n) {
    Evict();
    CkwServiceObject* object = nullptr;
    CkwErrorInfo error;
    bool created = false;
    bool reached = FailingAt(n, [&] {
      created = CkwObjectFactory::kwCreateObject(&CLSID_TestPersistentItem, &object, &error);
    });
    if (!created) {
      EXPECT_TRUE(OutOfMemory(error)) << "allocation " << n;
    }
    if (object != nullptr) CkwObjectFactory::kwFreeObject(&object, nullptr);
    return reached;
  });
  const std::string directory = m_dir.path() + "/a-directory-name-beyond-small-strings";
  using Change = bool (*)(const char*, const char*, CkwErrorInfo*);
  for (Change change : {Change(&CkwObjectFactory::kwSetComponentRegistrationFile),
                        Change(&CkwObjectFactory::kwAddComponentRegistrationFile),
                        Change(&CkwObjectFactory::kwRemoveComponentRegistrationFile)}) {
    Sweep("registration list change", [&](int n) {
      CkwObjectFactory::kwAddComponentRegistrationFile(m_dir.path().c_str(), "other.ini", nullptr);
      CkwErrorInfo error;
      bool changed = false;
      bool reached = FailingAt(
          n, [&] { changed = change(directory.c_str(), "registration-file.ini", &error); });
      if (!changed) {
        EXPECT_TRUE(OutOfMemory(error)) << "allocation " << n;
      }
      return reached;
    });
  }
}

TEST_F(Sweeps, ListAddInsertAndReplace) {
  for (bool insert : {false, true}) {
    Sweep(insert ? "list insert" : "list add", [&](int n) {
      CkwPersistentObjectList list;
      int count = 0;
      CkwErrorInfo error;
      bool reached = FailingAt(n, [&] {
        for (; count < 25; ++count) {
          auto* item = new (std::nothrow) CItem;
          if (item == nullptr) break;
          bool added = insert ? list.kwInsertServiceObject(item, 0, &error)
                              : list.kwAddServiceObject(item, &error);
          if (!added) {
            delete item;
            break;
          }
        }
      });
      int listed = -1;
      list.kwGetTotalCount(&listed, nullptr);
      EXPECT_EQ(listed, count);
      if (count < 25 && error.m_nSeverity != 0) {
        EXPECT_TRUE(OutOfMemory(error)) << n;
      }
      return reached;
    });
  }
  Sweep("list replace", [&](int n) {
    CkwPersistentObjectList list;
    CItem* first = new CItem;
    list.kwAddServiceObject(first, nullptr);
    CkwErrorInfo error;
    CItem* second = new CItem;
    bool replaced = false;
    bool reached = FailingAt(n, [&] {
      replaced =
          list.kwReplaceServiceObject(reinterpret_cast<std::intptr_t>(first), second, &error);
    });
    if (!replaced) {
      EXPECT_TRUE(OutOfMemory(error));
      delete second;
    }
    return reached;
  });
}

TEST_F(Sweeps, PersistentObjectAndListSaveAndLoad) {
  struct CObject : CkwPersistentObject {};
  CObject named;
  std::string name(100, 'n');
  named.kwSetObjectName(name.data(), nullptr);
  Sweep("object save", [&](int n) {
    CkwComPtr<IStorage> root;
    StgCreateMemoryDocfile(kwtest::kRW, root.put());
    CkwErrorInfo error;
    bool saved = false;
    bool reached = FailingAt(n, [&] { saved = named.kwSave(root.get(), &error); });
    if (!saved) {
      EXPECT_TRUE(OutOfMemory(error, {26, 24}));
    }
    return reached;
  });
  CkwComPtr<IStorage> saved;
  StgCreateMemoryDocfile(kwtest::kRW, saved.put());
  ASSERT_TRUE(named.kwSave(saved.get(), nullptr));
  Sweep("object load", [&](int n) {
    CObject object;
    CkwErrorInfo error;
    bool loaded = false;
    bool reached = FailingAt(n, [&] { loaded = object.kwLoad(saved.get(), &error); });
    if (!loaded) {
      EXPECT_TRUE(OutOfMemory(error, {kwERROR_OPEN_ELEMENT_FAILED, 25}));
    }
    return reached;
  });

  CkwPersistentObjectList fifty;
  Fill(fifty, 50);
  Sweep("list save", [&](int n) {
    CkwComPtr<IStorage> root;
    StgCreateMemoryDocfile(kwtest::kRW, root.put());
    CkwErrorInfo error;
    bool done = false;
    bool reached = FailingAt(n, [&] { done = fifty.kwSave(root.get(), &error); });
    if (!done) {
      EXPECT_TRUE(OutOfMemory(error, {3, 24, 26})) << "allocation " << n;
    }
    return reached;
  });
  const std::string image = SavedList(50);
  Sweep("list load", [&](int n) {
    CkwComPtr<IStorage> root;
    kwtest::OpenImage(image, &root);
    CkwPersistentObjectList list;
    CkwErrorInfo error;
    bool done = false;
    bool reached = FailingAt(n, [&] { done = list.kwLoad(root.get(), &error); });
    if (!done) {
      EXPECT_TRUE(OutOfMemory(error, {3, 25, 27})) << "allocation " << n;
    }
    return reached;
  });
}

// Saving again into a storage that holds a saved list replaces every element of it.
TEST_F(Sweeps, ListSaveIntoAUsedStorage) {
  CkwPersistentObjectList list;
  Fill(list, 20);
  const std::string image = SavedList(20);
  Sweep("list save into a used storage", [&](int n) {
    CkwComPtr<IStorage> root;
    StgOpenMemoryDocfile(image.data(), image.size(), kwtest::kRW, root.put());
    CkwErrorInfo error;
    bool done = false;
    bool reached = FailingAt(n, [&] { done = list.kwSave(root.get(), &error); });
    if (!done) {
      EXPECT_TRUE(OutOfMemory(error, {3, 24, 26})) << "allocation " << n;
    }
    return reached;
  });
}

TEST_F(Sweeps, StorageOpenAndCommitLeaveTheFileAsItWasOnFailure) {
  const std::string path = m_dir / "project.kwp";
  {
    CkwComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(path.c_str(), kwtest::kRW | STGM_CREATE, 0, root.put()), S_OK);
    CkwPersistentObjectList list;
    Fill(list, 10);
    ASSERT_TRUE(list.kwSave(root.get(), nullptr));
    ASSERT_EQ(root->Commit(0), S_OK);
  }
  const std::string before = kwtest::FileBytes(path);
  Sweep("storage open", [&](int n) {
    CkwComPtr<IStorage> root;
    HRESULT status = S_OK;
    bool reached = FailingAt(n, [&] {
      status = StgOpenStorage(path.c_str(), nullptr, kwtest::kRW, nullptr, 0, root.put());
    });
    EXPECT_TRUE(status == S_OK || Failed(status)) << kwtest::ErrorText(status) << " at " << n;
    return reached;
  });
  CkwPersistentObjectList changed;
  Fill(changed, 15);
  Sweep("storage commit", [&](int n) {
    CkwComPtr<IStorage> root;
    EXPECT_EQ(StgOpenStorage(path.c_str(), nullptr, kwtest::kRW, nullptr, 0, root.put()), S_OK);
    EXPECT_TRUE(changed.kwSave(root.get(), nullptr));
    HRESULT status = S_OK;
    bool reached = FailingAt(n, [&] { status = root->Commit(0); });
    root.reset();
    if (status == S_OK) {
      kwTest::WriteFile(path, before);  // the next run starts from the old file again
    } else {
      EXPECT_TRUE(Failed(status)) << kwtest::ErrorText(status) << " at " << n;
      EXPECT_TRUE(kwtest::FileBytes(path) == before) << "changed by a failed commit at " << n;
    }
    return reached;
  });
}

TEST_F(Sweeps, RecordCopiesAndAssignments) {
  CkwCheckLinkInfo info;
  for (int i = 0; i < 12; ++i)
    info.kwAddFileName(std::string(40, char('a' + i)).c_str(), CkwCheckLinkInfo::kwFILE_TYPE_AUDIO,
                       nullptr);
  Sweep("check-link clone", [&](int n) {
    CkwCheckLinkInfo* clone = nullptr;
    CkwErrorInfo error;
    bool cloned = false;
    bool reached = FailingAt(n, [&] { cloned = info.kwClone(&clone, &error); });
    if (!cloned) {
      EXPECT_TRUE(OutOfMemory(error) && clone == nullptr);
    }
    delete clone;
    return reached;
  });
  CkwDiscTemplateSettings settings;
  SAVEDATA data{};
  reinterpret_cast<BYTE*>(&data)[100] = 7;
  ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
  auto* manager = CkwGlobalErrorManager::kwGetGlobalErrorManager();
  Sweep("disc template copy and assignment", [&](int n) {
    manager->kwClearErrorInfo();
    std::unique_ptr<CkwDiscTemplateSettings> copy;
    CkwDiscTemplateSettings assigned;
    bool reached = FailingAt(n, [&] {
      copy.reset(new (std::nothrow) CkwDiscTemplateSettings(settings));
      assigned = settings;
    });
    CkwErrorInfo error;
    if (manager->kwGetLastErrorInfo(&error)) {
      EXPECT_TRUE(OutOfMemory(error));
    }
    return reached;
  });
  struct CObject : CkwPersistentObject {};
  CObject named;
  std::string name(100, 'n');
  named.kwSetObjectName(name.data(), nullptr);
  Sweep("object name copy", [&](int n) {
    char* copy = nullptr;
    CkwErrorInfo error;
    bool got = false;
    bool reached = FailingAt(n, [&] { got = named.kwGetObjectName(&copy, &error); });
    if (got) {
      GlobalUnlock(GlobalHandle(copy));
      GlobalFree(GlobalHandle(copy));
    } else {
      EXPECT_TRUE(OutOfMemory(error) && copy == nullptr);
    }
    return reached;
  });
  Sweep("persistent object copy and assignment", [&](int n) {
    CObject assigned;
    return FailingAt(n, [&] {
      CObject copy(named);
      assigned = named;
    });
  });
}

}  // namespace
