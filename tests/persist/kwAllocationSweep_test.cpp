// Every main operation run out of memory at each of its allocations in turn: no crash, no leak
// (the asan preset), code 1 severity 2 (or a documented inner step's code), and a file on disk
// untouched by a failed commit. Every allocation by default (about a second under asan);
// KWCORE_SWEEP_STRIDE=k fails every kth allocation only after the 16th; KWCORE_SWEEP_FORK=1 runs
// each in a child process so that aborts are counted rather than fatal (leaks are then not
// checked).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <kwcore/CkwCheckLinkInfo.h>
#include <kwcore/CkwDiscTemplateSettings.h>
#include <kwcore/CkwObjectFactory.h>
#include <kwcore/CkwPersistentObjectList.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwWinApi.h>

#include "components/persistent_items.h"
#include "support/kwFactoryProbe.h"
#include "support/kwFailingAllocation.h"
#include "support/kwStorageTestUtil.h"

namespace {

using Record = CkwErrorInfo*;
struct Operation {
  const char* name;
  std::function<void()> before;      // makes what the call needs, before arming
  std::function<bool(Record)> call;  // runs with the nth allocation failing
  std::vector<int> inner = {};       // codes documented for a failed inner step, besides 1
  std::function<void(bool)> after = {};
};

int Env(const char* name, int otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : otherwise;
}

// One run with the nth allocation failing: 0 when the operation got that far, 1 when it did not;
// in a child, 2 when a check failed and -1 when the child died.
int Run(const Operation& op, int n, bool forked) {
  std::fflush(nullptr);
  if (pid_t child = forked ? fork() : 0; child != 0) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  CkwErrorInfo error;
  if (op.before) op.before();
  kwTest::FailAllocation(n);
  const bool ok = op.call(&error);
  const int result = kwTest::PendingAllocationFailure() == 0 ? 0 : 1;
  kwTest::FailAllocation(0);
  const bool known = error.m_nErrorCode == kwERROR_OUT_OF_MEMORY ||
                     std::ranges::count(op.inner, error.m_nErrorCode) > 0;
  EXPECT_TRUE(ok || (known && error.m_nSeverity == kwSEVERITY_ERROR))
      << op.name << " at allocation " << n << ": code " << error.m_nErrorCode << " severity "
      << error.m_nSeverity;
  if (op.after) op.after(ok);
  if (!forked) return result;
  std::fflush(nullptr);
  _exit(::testing::Test::HasFailure() ? 2 : result);
}

void Sweep(std::initializer_list<Operation> operations) {
  const bool forked = Env("KWCORE_SWEEP_FORK", 0) == 1;
  for (const Operation& op : operations) {
    int runs = 0, aborts = 0;
    // The first allocations always, so that short operations are swept whole.
    for (int n = 1, result = 0; result != 1;
         n += n < 16 ? 1 : Env("KWCORE_SWEEP_STRIDE", 1), ++runs) {
      result = Run(op, n, forked);
      aborts += result == -1;
      EXPECT_NE(result, 2) << op.name << " at allocation " << n;
    }
    EXPECT_EQ(aborts, 0) << op.name;
    std::printf("%s: %d runs, %d aborts\n", op.name, runs, aborts);
  }
}

// A storage call's result as a record: running out of memory is code 1.
bool Status(HRESULT status, Record error) {
  bool memory = status == E_OUTOFMEMORY || status == STG_E_INSUFFICIENTMEMORY;
  if (FAILED(status)) error->m_nErrorCode = memory ? 1 : status, error->m_nSeverity = 2;
  return SUCCEEDED(status);
}

struct CItem : CkwServiceObject {};
struct CObject : CkwPersistentObject {};

GUID Filler(int i) { return {0x5EE00000u + static_cast<unsigned>(i), 0, 0, {}}; }

// The test item module is registered with 1000 further CLSIDs that it does not serve:
// creating those evicts every other CLSID from the factory's table, so that the next
// creation reads the registration file again.
class Sweeps : public kwFactoryTest {
 protected:
  void SetUp() override {
    kwFactoryTest::SetUp();
    std::vector<std::pair<GUID, std::string>> pairs{
        {CLSID_TestPersistentItem, KWTEST_PERSISTENT_ITEMS_MODULE},
        {CLSID_TestPersistentItemB, KWTEST_PERSISTENT_ITEMS_MODULE}};
    for (int i = 0; i < 1000; ++i) pairs.emplace_back(Filler(i), KWTEST_PERSISTENT_ITEMS_MODULE);
    Register(pairs);
    m_named.kwSetObjectName(std::string(100, 'n').data(), nullptr);
    for (int i = 0; i < 50; ++i) {
      CkwServiceObject* item = nullptr;
      const GUID& clsid = i % 2 ? CLSID_TestPersistentItemB : CLSID_TestPersistentItem;
      ASSERT_TRUE(CkwObjectFactory::kwCreateObject(&clsid, &item, nullptr));
      ASSERT_TRUE(m_list.kwAddServiceObject(item, nullptr));
    }
    CkwComPtr<IStorage> root = kwtest::MemoryRoot();
    ASSERT_TRUE(m_list.kwSave(root.get(), nullptr) && m_named.kwSave(root.get(), nullptr));
    m_image = kwtest::Image(root.get());
  }

  CObject m_named;
  CkwPersistentObjectList m_list;  // 50 items of both classes
  std::string m_image;             // m_list and m_named saved
};

TEST_F(Sweeps, FactoryCreationByCLSIDAndRegistrationListChanges) {
  CkwServiceObject* object = nullptr;
  const std::string directory = m_dir.path() + "/a-directory-name-beyond-small-strings";
  auto change = [&](auto operation) {
    return [&, operation](Record e) { return operation(directory.c_str(), "file.ini", e); };
  };
  auto evict = [&] {
    for (int i = 0; i < 1000; ++i) {
      GUID clsid = Filler(i);
      CkwObjectFactory::kwCreateObject(&clsid, &object, nullptr);
    }
  };
  auto create = [&](Record e) {
    bool created = CkwObjectFactory::kwCreateObject(&CLSID_TestPersistentItem, &object, e);
    if (object != nullptr) CkwObjectFactory::kwFreeObject(&object, nullptr);  // takes no memory
    return created;
  };
  Sweep(
      {{"create by CLSID", evict, create},
       {"registration set", {}, change(&CkwObjectFactory::kwSetComponentRegistrationFile)},
       {"registration add", {}, change(&CkwObjectFactory::kwAddComponentRegistrationFile)},
       {"registration remove", {}, change(&CkwObjectFactory::kwRemoveComponentRegistrationFile)}});
}

TEST_F(Sweeps, ListAddAndInsert) {
  std::unique_ptr<CkwServiceObjectList> list;
  auto fresh = [&] { list = std::make_unique<CkwServiceObjectList>(); };
  auto fill = [&](bool insert) {
    return [&, insert](Record e) {
      for (int added = 0; added < 25; ++added) {
        auto* item = new (std::nothrow) CItem;
        if (item == nullptr) return true;  // the test's own allocation
        if (insert ? list->kwInsertServiceObject(item, 0, e) : list->kwAddServiceObject(item, e))
          continue;
        int count = -1;  // nothing half-added; counting takes no memory
        EXPECT_TRUE(list->kwGetTotalCount(&count, nullptr) && count == added);
        return delete item, false;
      }
      return true;
    };
  };
  // Replacing takes no memory: the node and the index slot are reused.
  Sweep({{"list add", fresh, fill(false)}, {"list insert", fresh, fill(true)}});
}

TEST_F(Sweeps, PersistentObjectAndListSaveAndLoad) {
  CObject object;
  CkwPersistentObjectList list;
  CkwComPtr<IStorage> root;
  auto empty = [&] { root = kwtest::MemoryRoot(); };
  auto saved = [&] { root = kwtest::MemoryRoot(m_image); };
  Sweep({{"object save", empty, [&](Record e) { return m_named.kwSave(root.get(), e); }, {24, 26}},
         {"object load", saved, [&](Record e) { return object.kwLoad(root.get(), e); }, {25, 27}},
         {"list save", empty, [&](Record e) { return m_list.kwSave(root.get(), e); }, {3, 24, 26}},
         {"list load", saved, [&](Record e) { return list.kwLoad(root.get(), e); }, {3, 25, 27}}});
}

// Saving again into a storage that holds a saved list replaces every element of it.
TEST_F(Sweeps, ListSaveIntoAUsedStorage) {
  CkwComPtr<IStorage> root;
  Sweep({{"list save into a used storage",
          [&] { root = kwtest::MemoryRoot(m_image); },
          [&](Record e) { return m_list.kwSave(root.get(), e); },
          {3, 24, 26}}});
}

TEST_F(Sweeps, StorageOpenAndCommitLeaveTheFileAsItWasOnFailure) {
  const std::string path = m_dir / "project.kwp";
  kwTest::WriteFile(path, m_image);
  CkwComPtr<IStorage> root;
  auto open = [&] {
    root.reset();
    return StgOpenStorage(path.c_str(), nullptr, kwtest::kRW, nullptr, 0, root.put());
  };
  auto change = [&] { EXPECT_TRUE(open() == S_OK && root->DestroyElement(u"Item7") == S_OK); };
  auto untouched = [&](bool committed) {
    root.reset();
    EXPECT_TRUE(committed || kwtest::FileBytes(path) == m_image) << "a failed commit";
    kwTest::WriteFile(path, m_image);
  };
  Sweep({{"storage open", {}, [&](Record e) { return Status(open(), e); }},
         {"storage commit",
          change,
          [&](Record e) { return Status(root->Commit(0), e); },
          {},
          untouched}});
}

// Freeing and checking take no memory, so they run inside the failing window.
TEST_F(Sweeps, RecordCopiesAndAssignments) {
  CkwCheckLinkInfo info;
  for (char c = 'a'; c < 'm'; ++c) info.kwAddFileName(std::string(40, c).c_str(), {}, nullptr);
  CkwDiscTemplateSettings settings;
  SAVEDATA data{};
  reinterpret_cast<BYTE*>(&data)[100] = 7;
  ASSERT_TRUE(settings.kwSetVIOSaveData(&data, nullptr));
  auto* manager = CkwGlobalErrorManager::kwGetGlobalErrorManager();
  auto clone = [&](Record e) {
    CkwCheckLinkInfo* clone = nullptr;
    bool cloned = info.kwClone(&clone, e);
    delete clone;
    return cloned;
  };
  auto name = [&](Record e) {
    char* name = nullptr;
    bool got = m_named.kwGetObjectName(&name, e);
    if (got) GlobalUnlock(GlobalHandle(name)), GlobalFree(GlobalHandle(name));
    return got;
  };
  auto copySettings = [&](Record e) {
    CkwDiscTemplateSettings assigned;
    std::unique_ptr<CkwDiscTemplateSettings> copy(new (std::nothrow)
                                                      CkwDiscTemplateSettings(settings));
    assigned = settings;
    return !manager->kwGetLastErrorInfo(e);  // reported there, code 1
  };
  // Reports nothing: a name that cannot be copied leaves the copy's name empty.
  auto copyObject = [&](Record) {
    CObject copy(m_named), assigned;
    assigned = m_named;
    return true;
  };
  Sweep({{"check-link clone", {}, clone},
         {"object name copy", {}, name},
         {"disc template copy and assignment", [&] { manager->kwClearErrorInfo(); }, copySettings},
         {"persistent object copy and assignment", {}, copyObject}});
}

}  // namespace
