// The binder behind the import seam (kwImports.cpp). Every function that
// libkwcore imports from libkwErrorHandle, libNubra and the GUID generator
// has a slot: a function pointer that first leads to a thunk, which binds the
// import and calls on, and once bound holds the function's address, so that
// a call costs one indirect call from then on. Binding follows the protocol
// of kwLazyBinding.h: the host's hooks are asked at each step, the library
// is loaded from libkwcore's own directory by SONAME, and a failure throws
// CkwBindingException. No lock is taken: the slot stores and the exchange of
// a library's module handle are the only shared writes.
#pragma once

#include <atomic>

namespace kwLazyBinder {

/// The imports, one slot each.
enum Import : int {
  // libkwErrorHandle
  kErrorInfoConstructor,
  kErrorInfoDestructor,
  kGetGlobalErrorManager,
  kSetErrorInfo,
  // libNubra
  kStorageCreate,
  kStorageOpen,
  kStreamCreate,
  kStreamOpen,
  kStreamReadMemoryBlock,
  kStreamWriteMemoryBlock,
  kStreamReadVariant,
  kStreamWriteVariant,
  kClearSaveData,
  kCopySaveData,
  // the GUID generator
  kCreateGuid,
  kImportCount
};

/// Binds `import` and returns the address its call goes to; `store` fills
/// the import's slot with it, unless the host's start hook supplied the
/// address for this call only. Throws CkwBindingException.
void* Bind(Import import, void (*store)(void* address));

/// The slot of `import`, whose function has the type `Function`.
template <Import import, class Function>
struct Slot;

template <Import import, class Result, class... Args>
struct Slot<import, Result(Args...)> {
  using Pointer = Result (*)(Args...);

  static Result Thunk(Args... args) {
    return reinterpret_cast<Pointer>(Bind(import, &Store))(args...);
  }
  static void Store(void* address) {
    pointer.store(reinterpret_cast<Pointer>(address), std::memory_order_release);
  }
  // Constant-initialised: valid before any constructor of the process runs.
  static constinit inline std::atomic<Pointer> pointer{&Thunk};
};

/// Calls `import`, of type `Function`, through its slot.
template <Import import, class Function, class... Args>
inline auto Call(Args... args) {
  return Slot<import, Function>::pointer.load(std::memory_order_acquire)(args...);
}

}  // namespace kwLazyBinder
