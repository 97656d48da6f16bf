// Lazy binding through a host hook table. Binding happens once per process:
// each case runs alone, and changed library folders are tried in a child.
#include <kwcore/Nubra.h>

#include <cstring>

#ifdef KWTEST_STAND_IN_MODULE
// Built alone: a stand-in for libNubra that lacks the SAVEDATA helpers.
extern "C" KW_VISIBILITY_DEFAULT LONG gfnIStorageOpen(IStorage*, const WCHAR*, IStorage**) {
  return E_FAIL;
}
#else
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kwcore/kwcore.h>

#include "support/kwTempDir.h"

namespace {

constexpr BYTE kMark = 0x5A;
constexpr char kNubra[] = "libNubra.so.0";
constexpr char kCopy[] = "gfnCopySAVEDATA";
constexpr char kClear[] = "gfnClearVIO_SAVEDATA";
constexpr char kConstructor[] = "_ZN12CkwErrorInfoC1Ev";

int StandInCopy(const SAVEDATA*, SAVEDATA* to) {
  return std::memset(to, kMark, sizeof *to) != nullptr;
}
int StandInClear(SAVEDATA* record) { return StandInCopy(nullptr, record); }
std::uintptr_t Address(auto* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

struct Note {
  unsigned code;
  std::string library, procedure;
  void* module;
  void* address;
  bool operator==(const Note&) const = default;
};

// Every hook call is noted; g_answer decides what the hooks return.
std::mutex g_lock;
std::vector<Note> g_notes;
std::uintptr_t (*g_answer)(unsigned code, const kwBindingInfo& info) = nullptr;

std::uintptr_t Hook(unsigned code, kwBindingInfo* info) {
  std::lock_guard lock(g_lock);
  g_notes.push_back({code, info->pszLibrary, info->pszProcedure, info->hModule, info->pfnAddress});
  return g_answer != nullptr ? g_answer(code, *info) : 0;
}
const kwBindingHookTable g_hooks{&Hook, &Hook};
std::string HooksAddress() { return std::to_string(Address(&g_hooks)); }
void InstallHooks() { setenv(kwBINDING_HOOK_VARIABLE, HooksAddress().c_str(), 1); }
// The hooks' address with leading zeros, `width` characters in all.
std::string Padded(std::size_t width) {
  std::string address = HooksAddress();
  return std::string(width - address.size(), '0') + address;
}

// The notes so far (of one procedure only, when named), removed.
std::vector<Note> TakeNotes(const char* procedure = nullptr) {
  std::lock_guard lock(g_lock);
  auto taken = std::stable_partition(g_notes.begin(), g_notes.end(), [&](const Note& note) {
    return procedure != nullptr && note.procedure != procedure;
  });
  std::vector<Note> notes(taken, g_notes.end());
  g_notes.erase(taken, g_notes.end());
  return notes;
}
std::vector<unsigned> Codes(const char* procedure) {
  std::vector<unsigned> codes;
  for (const Note& note : TakeNotes(procedure)) codes.push_back(note.code);
  return codes;
}

// Sets a record marked `value` (copy, and clear when one is held); returns the held mark.
BYTE SetRecord(CkwDiscTemplateSettings& settings, BYTE value) {
  SAVEDATA data{};
  data.abData[100] = value;
  CkwErrorInfo error;
  SAVEDATA* held = nullptr;
  EXPECT_TRUE(settings.kwSetVIOSaveData(&data, &error) && settings.kwGetVIOSaveData(&held, &error));
  return held != nullptr ? held->abData[100] : 0;
}

TEST(LazyBinding, FirstCallsNotifyEachStepLaterCallsNothing) {
  setenv(kwBINDING_HOOK_VARIABLE, Padded(259).c_str(), 1);  // the longest value read
  CkwDiscTemplateSettings settings;
  EXPECT_EQ(SetRecord(settings, 7), 7);
  void* nubra = dlopen(KWTEST_LIBRARY_DIR "/libNubra.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(nubra, nullptr);
  EXPECT_EQ(TakeNotes(), (std::vector<Note>{{0, kNubra, kCopy, nullptr, nullptr},
                                            {1, kNubra, kCopy, nullptr, nullptr},
                                            {2, kNubra, kCopy, nubra, nullptr},
                                            {5, kNubra, kCopy, nubra, dlsym(nubra, kCopy)}}));
  // A second import of the loaded library skips loading.
  EXPECT_EQ(SetRecord(settings, 8), 8);
  EXPECT_EQ(TakeNotes(), (std::vector<Note>{{0, kNubra, kClear, nubra, nullptr},
                                            {2, kNubra, kClear, nubra, nullptr},
                                            {5, kNubra, kClear, nubra, dlsym(nubra, kClear)}}));
  EXPECT_EQ(SetRecord(settings, 9), 9);
  EXPECT_EQ(TakeNotes(), std::vector<Note>{});
}

struct MissingCase {
  const char* library;  // removed, or replaced by the stand-in
  bool replace, rescue;
};
constexpr MissingCase kMissingCases[] = {{"libkwErrorHandle.so.0", false, false},
                                         {"libkwErrorHandle.so.0", false, true},
                                         {"libNubra.so.0", true, false},
                                         {"libNubra.so.0", true, true}};

TEST(LazyBinding, MissingLibraryOrFunctionThrowsUnlessTheFailureHookRescues) {
  for (std::size_t row = 0; row < std::size(kMissingCases); ++row) {
    SCOPED_TRACE(row);
    kwTest::TempDir dir;
    std::filesystem::copy(
        KWTEST_LIBRARY_DIR, dir.path(),
        std::filesystem::copy_options::copy_symlinks | std::filesystem::copy_options::recursive);
    std::filesystem::remove(dir / kMissingCases[row].library);
    if (kMissingCases[row].replace)
      std::filesystem::copy_file(kwTest::ComponentPath("kwtest_nubra_stand_in"),
                                 dir / kMissingCases[row].library);
    pid_t child = fork();
    if (child == 0) {
      setenv("LD_LIBRARY_PATH", dir.path().c_str(), 1);
      setenv("KWTEST_LAZY_CHILD", std::to_string(row).c_str(), 1);
      execl("/proc/self/exe", "lazy_binding_test", "--gtest_filter=LazyBindingChild.*", nullptr);
      _exit(91);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
}

TEST(LazyBindingChild, BindsFromTheChangedFolder) {
  const char* row = std::getenv("KWTEST_LAZY_CHILD");
  if (row == nullptr) GTEST_SKIP() << "runs as a child of the test above";
  const MissingCase& test = kMissingCases[std::atoi(row)];
  const char* procedure = test.replace ? kCopy : kConstructor;
  if (test.rescue)
    g_answer = [](unsigned code, const kwBindingInfo& info) {
      if (code == kwBIND_FAIL_LOAD_LIBRARY)
        return Address(dlopen(KWTEST_LIBRARY_DIR "/libkwErrorHandle.so.0", RTLD_NOW));
      if (code != kwBIND_FAIL_GET_PROC_ADDRESS) return std::uintptr_t{0};
      return info.pszProcedure == std::string(kCopy) ? Address(&StandInCopy)
                                                     : Address(&StandInClear);
    };
  InstallHooks();
  CkwServiceObject* object = nullptr;
  auto bind = [&](CkwDiscTemplateSettings& settings) {
    // A creation that misses the factory's table makes a local record.
    return test.replace ? SetRecord(settings, 7) == kMark
                        : !CkwObjectFactory::kwCreateObject(&GUID_NULL, &object, nullptr);
  };
  if (test.rescue) {
    CkwDiscTemplateSettings settings;
    EXPECT_TRUE(bind(settings));
    EXPECT_EQ(Codes(procedure),
              (std::vector<unsigned>{0, 1, test.replace ? 2u : 3u, test.replace ? 4u : 2u, 5}));
    return;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {  // the import stays unbound
    try {
      // Their destructors meet the missing import again, while it unwinds.
      CkwDiscTemplateSettings settings;
      CkwServiceObjectList list;
      CkwErrorInfo error;
      struct Item : CkwServiceObject {};
      EXPECT_TRUE(list.kwAddServiceObject(new Item, &error));
      bind(settings);
      ADD_FAILURE() << "no exception";
    } catch (const CkwBindingException& e) {
      const kwBindingInfo& info = e.kwGetInfo();
      EXPECT_EQ(e.kwGetCode(), test.replace ? kwBIND_ERROR_PROCEDURE : kwBIND_ERROR_LIBRARY);
      EXPECT_STREQ(info.pszLibrary, test.library);
      EXPECT_STREQ(info.pszProcedure, procedure);
      EXPECT_EQ(info.hModule != nullptr, test.replace);
      EXPECT_EQ(info.pfnAddress, nullptr);
      EXPECT_EQ(info.nLastError, test.replace ? 0 : ENOENT);
    }
  }
}

// A value that names no hook table binds as without one (as in every test
// program that sets none).
void BindsPlainlyWith(const std::string& value) {
  setenv(kwBINDING_HOOK_VARIABLE, value.c_str(), 1);
  CkwDiscTemplateSettings settings;
  EXPECT_EQ(SetRecord(settings, 7), 7);
  EXPECT_EQ(TakeNotes().size(), 0u);
}
TEST(HookVariable, OneCharacterMoreThanIsReadNamesNoHooks) { BindsPlainlyWith(Padded(260)); }
TEST(HookVariable, AnAddressOfNoReadableMemoryNamesNoHooks) { BindsPlainlyWith("4096"); }

TEST(LazyBinding, EightThreadsBindAtOnce) {
  InstallHooks();
  std::barrier start(8);
  std::atomic<int> copied{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      start.arrive_and_wait();
      CkwPersistentObjectList list;  // CoCreateGuid; kwErrorHandle when it goes
      CkwDiscTemplateSettings settings;
      SetRecord(settings, 7);
      CkwDiscTemplateSettings copy(settings);  // through a local record
      if (SetRecord(copy, 7) == 7) ++copied;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(copied.load(), 8);
  // However many threads bound an import, they agree on its address and handle.
  std::map<std::string, void*> addresses, modules;
  for (const Note& note : TakeNotes()) {
    if (note.code != kwBIND_NOTE_END) continue;
    EXPECT_EQ(addresses.emplace(note.procedure, note.address).first->second, note.address);
    EXPECT_EQ(modules.emplace(note.library, note.module).first->second, note.module);
  }
  EXPECT_EQ(addresses.size(), 5u);  // constructor, destructor, copy, clear, CoCreateGuid
  EXPECT_EQ(modules.size(), 3u);
}

}  // namespace
#endif
