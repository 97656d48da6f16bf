#include "kwLazyBinder.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <kwcore/kwLazyBinding.h>

#include "platform/kwModule.h"

namespace {

// A library that the binder loads, by the SONAME it is built with, and its
// module handle: null until the first of its imports loads it.
struct Library {
  const char* soname;
  std::atomic<void*> module{nullptr};
};

enum LibraryIndex { kErrorHandle, kNubra, kGuidGenerator };

Library g_libraries[] = {{KW_SONAME_ERRORHANDLE}, {KW_SONAME_NUBRA}, {KW_SONAME_GUID}};

struct ImportName {
  LibraryIndex library;
  const char* procedure;
};

// In the order of kwLazyBinder::Import. C++ functions go by their mangled
// names (Itanium C++ ABI): constructor and destructor are the complete-object
// variants C1 and D1, which take the object as their only argument, as a
// member function takes `this` first.
constexpr ImportName kImports[] = {
    {kErrorHandle, "_ZN12CkwErrorInfoC1Ev"},
    {kErrorHandle, "_ZN12CkwErrorInfoD1Ev"},
    {kErrorHandle, "_ZN21CkwGlobalErrorManager23kwGetGlobalErrorManagerEv"},
    {kErrorHandle, "_ZN21CkwGlobalErrorManager14kwSetErrorInfoEPK12CkwErrorInfo"},
    {kNubra, "gfnIStorageCreate"},
    {kNubra, "gfnIStorageOpen"},
    {kNubra, "gfnIStreamCreate"},
    {kNubra, "gfnIStreamOpen"},
    {kNubra, "gfnIStreamReadMemoryBlock"},
    {kNubra, "gfnIStreamWriteMemoryBlock"},
    {kNubra, "gfnIStreamReadVariant"},
    {kNubra, "gfnIStreamWriteVariant"},
    {kNubra, "gfnClearVIO_SAVEDATA"},
    {kNubra, "gfnCopySAVEDATA"},
    {kGuidGenerator, "_Z12CoCreateGuidP5_GUID"},
};
static_assert(std::size(kImports) == kwLazyBinder::kImportCount);

// The longest value of the hook variable that is read; Windows hosts pass it
// through a buffer of 260 characters.
constexpr std::size_t kMaxHookText = 259;

// Copies `size` bytes at `address` into `out`, or returns false when they are
// not all readable memory of this process. The kernel checks the address, so
// a wrong number in the environment cannot crash us.
bool ReadOwnMemory(std::uintptr_t address, void* out, std::size_t size) noexcept {
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (copied == static_cast<ssize_t>(size)) return true;
  if (copied >= 0 || (errno != ENOSYS && errno != EPERM)) return false;
  // Sandboxes may forbid process_vm_readv; a write into a pipe checks the
  // address just as well (EFAULT).
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
  bool read = write(pipeEnds[1], remote.iov_base, size) == static_cast<ssize_t>(size) &&
              ::read(pipeEnds[0], out, size) == static_cast<ssize_t>(size);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  return read;
}

// The host's hook table, looked up anew for every hook call: the host may
// set, change or clear the variable at any time. Digits fold into the
// address without any check, as hosts written for the original rule expect;
// a value that names no readable memory means no hooks.
kwBindingHookTable FindHooks() noexcept {
  const kwBindingHookTable none{nullptr, nullptr};
  // Null in a setuid or setgid process: whoever started it chose the
  // environment, and must not get their code run with its privileges.
  const char* text = secure_getenv(kwBINDING_HOOK_VARIABLE);
  if (text == nullptr) return none;
  std::uintptr_t address = 0;
  std::size_t length = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (++length > kMaxHookText) return none;
    address = address * 10 + static_cast<unsigned char>(*p) - std::uintptr_t{'0'};
  }
  kwBindingHookTable table;
  if (address == 0 || !ReadOwnMemory(address, &table, sizeof table)) return none;
  return table;
}

// Asks the host's notification or failure hook. The hook gets a copy, so
// whatever it writes into the record changes nothing here.
void* Ask(bool failure, unsigned code, const kwBindingInfo& info) {
  kwBindingHookTable hooks = FindHooks();
  kwBindingHook hook = failure ? hooks.pfnFailure : hooks.pfnNotify;
  if (hook == nullptr) return nullptr;
  kwBindingInfo copy = info;
  return reinterpret_cast<void*>(hook(code, &copy));
}

void Diagnose(const char* what, const char* name, const char* reason) noexcept {
  kwDiagnoseF("binding: %s %s: %s", what, name, reason != nullptr ? reason : "no reason given");
}

// The directory that libkwcore was loaded from, made absolute by the loader
// when it loaded us (so a later chdir does not matter); empty when unknown.
const char* OwnDirectory() noexcept {
  static const struct Directory {
    char path[PATH_MAX] = {};
    Directory() noexcept {
      Dl_info info;
      link_map* self = nullptr;
      if (dladdr1(reinterpret_cast<void*>(&OwnDirectory), &info, reinterpret_cast<void**>(&self),
                  RTLD_DL_LINKMAP) == 0 ||
          self == nullptr || self->l_name == nullptr || self->l_name[0] == '\0')
        return;  // not in a shared library: nothing is beside us
      if (dlinfo(self, RTLD_DI_ORIGIN, path) != 0) path[0] = '\0';
    }
  } directory;
  return directory.path;
}

// Loads `soname` from libkwcore's directory, never through the loader's
// search path: a library planted elsewhere must not be picked up.
void* LoadBeside(const char* soname, int* error) noexcept {
  const char* directory = OwnDirectory();
  char path[PATH_MAX + 64];
  int length = std::snprintf(path, sizeof path, "%s/%s", directory, soname);
  if (directory[0] == '\0' || length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
    *error = ENOENT;
    Diagnose("cannot load library", soname, "libkwcore's own directory is unknown");
    return nullptr;
  }
  errno = 0;
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    // glibc's dlopen leaves errno alone; the file itself tells a missing or
    // unreadable library from one that the loader refused (errno 0).
    *error = errno != 0 ? errno : access(path, R_OK) != 0 ? errno : 0;
    Diagnose("cannot load library", path, dlerror());
  }
  return module;
}

void* LookUp(void* module, const char* procedure, int* error) noexcept {
  dlerror();  // a stale message would be taken for ours
  errno = 0;
  void* address = dlsym(module, procedure);
  if (address == nullptr) {
    *error = errno;
    Diagnose("cannot find function", procedure, dlerror());
  }
  return address;
}

}  // namespace

void* kwLazyBinder::Bind(Import import, void (*store)(void* address)) {
  const ImportName& name = kImports[import];
  Library& library = g_libraries[name.library];
  kwBindingInfo info{sizeof(kwBindingInfo),
                     library.soname,
                     name.procedure,
                     library.module.load(std::memory_order_acquire),
                     nullptr,
                     0};

  if (void* address = Ask(false, kwBIND_NOTE_START, info)) {
    // For this call only: the slot keeps leading here.
    info.pfnAddress = address;
    Ask(false, kwBIND_NOTE_END, info);
    return address;
  }

  if (info.hModule == nullptr) {
    void* module = Ask(false, kwBIND_NOTE_PRE_LOAD_LIBRARY, info);
    if (module == nullptr) module = LoadBeside(library.soname, &info.nLastError);
    if (module == nullptr) module = Ask(true, kwBIND_FAIL_LOAD_LIBRARY, info);
    if (module == nullptr) throw CkwBindingException(kwBIND_ERROR_LIBRARY, info);
    // Another thread may have loaded the library meanwhile; dlopen then
    // handed out the same handle with one more reference, given back here.
    if (library.module.exchange(module, std::memory_order_acq_rel) == module) dlclose(module);
    info.hModule = module;
  }

  void* address = Ask(false, kwBIND_NOTE_PRE_GET_PROC_ADDRESS, info);
  if (address == nullptr) address = LookUp(info.hModule, name.procedure, &info.nLastError);
  if (address == nullptr) address = Ask(true, kwBIND_FAIL_GET_PROC_ADDRESS, info);
  if (address == nullptr) throw CkwBindingException(kwBIND_ERROR_PROCEDURE, info);
  store(address);
  info.pfnAddress = address;
  Ask(false, kwBIND_NOTE_END, info);
  return address;
}

CkwBindingException::CkwBindingException(std::uint32_t nCode, const kwBindingInfo& info) noexcept
    : m_nCode(nCode), m_info(info) {
  const char* library = info.pszLibrary != nullptr ? info.pszLibrary : "(no library)";
  const char* procedure = info.pszProcedure != nullptr ? info.pszProcedure : "(no function)";
  if (nCode == kwBIND_ERROR_LIBRARY)
    std::snprintf(m_szMessage, sizeof m_szMessage, "kwcore: cannot load %s for %s", library,
                  procedure);
  else
    std::snprintf(m_szMessage, sizeof m_szMessage, "kwcore: %s has no %s", library, procedure);
}

const char* CkwBindingException::what() const noexcept { return m_szMessage; }
