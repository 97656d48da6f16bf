// Lazy binding of the in-house libraries, and how a host watches it.
//
// libkwcore does not link libkwErrorHandle, libNubra or the GUID generator
// (CoCreateGuid in libkwplatform). Each function it imports from them is
// bound on its first call: the library is loaded from libkwcore's own
// directory, by its SONAME, and the function is looked up in it. A host can
// watch, redirect or rescue that binding without calling the library: it
// puts the decimal address of a kwBindingHookTable into the environment
// variable GLOBAL_HOOK_ENVIRONMENT_STRING. The variable is read anew before
// each hook call, so it may be set at any time; 0, an empty value, a value
// longer than 259 characters, an address that is not readable memory of the
// process, and any value in a setuid or setgid process all mean "no hooks".
//
// An import that cannot be bound, and that no hook rescues, throws
// CkwBindingException out of the calling operation. It is the only exception
// that leaves the library. Destructors never let it through, since one may
// run while that very failure unwinds the stack: a disc template's record is
// then freed without Nubra's clear, and a list frees its items without an
// error record. docs/lazy-binding.md has the details and a complete example
// of a host.
#pragma once

#include <cstdint>
#include <exception>

#include <kwcore/kwExport.h>

/// The environment variable that names the host's hook table.
#define kwBINDING_HOOK_VARIABLE "GLOBAL_HOOK_ENVIRONMENT_STRING"

/// Notification codes, in the order a binding meets them. What a hook may
/// return at each (0 always means "no opinion, go on"):
enum kwBindingNotification : unsigned {
  /// Notification hook, before anything else: an address to use for this
  /// call only. The slot is not filled, so the next call asks again.
  kwBIND_NOTE_START = 0,
  /// Notification hook, the library is not loaded yet: a module handle
  /// (as dlopen returns) to use instead of loading it.
  kwBIND_NOTE_PRE_LOAD_LIBRARY = 1,
  /// Notification hook, before the lookup: the function's address.
  kwBIND_NOTE_PRE_GET_PROC_ADDRESS = 2,
  /// Failure hook, the library could not be loaded: a module handle.
  kwBIND_FAIL_LOAD_LIBRARY = 3,
  /// Failure hook, the library lacks the function: its address.
  kwBIND_FAIL_GET_PROC_ADDRESS = 4,
  /// Notification hook, the binding is done; the result is ignored.
  kwBIND_NOTE_END = 5,
};

/// The binding in progress, as the hooks see it. The record lives on the
/// binding thread's stack during the hook call; copy what you keep. Changing
/// it has no effect on the binding.
struct kwBindingInfo {
  /// sizeof(kwBindingInfo), so that a host can tell later, longer records.
  std::uint32_t nSize;
  /// SONAME of the library, such as "libNubra.so.0".
  const char* pszLibrary;
  /// Name of the function as the library exports it (C++ members by their
  /// mangled names, see docs/lazy-binding.md).
  const char* pszProcedure;
  /// The library's module handle; null until it is loaded.
  void* hModule;
  /// The function's address; null until it is known.
  void* pfnAddress;
  /// The system error behind the last failed load or lookup of this binding
  /// (codes 3 and 4, the exception): for a library ENOENT or EACCES when the
  /// file is missing or unreadable; 0 when the loader refused a readable file
  /// or lacked the function, and while nothing has failed.
  int nLastError;
};

/// A hook: takes a notification code and the record, returns a module handle
/// or an address as the code allows, or 0. Hooks may run on any thread that
/// calls the library, on several at once, and must not throw.
typedef std::uintptr_t (*kwBindingHook)(unsigned nCode, kwBindingInfo* pInfo);

/// The host's hook table: two function addresses; either may be null.
struct kwBindingHookTable {
  kwBindingHook pfnNotify;   // codes 0, 1, 2, 5
  kwBindingHook pfnFailure;  // codes 3, 4
};

/// Exception codes of CkwBindingException.
inline constexpr std::uint32_t kwBIND_ERROR_LIBRARY = 0xC06D007E;
inline constexpr std::uint32_t kwBIND_ERROR_PROCEDURE = 0xC06D007F;

/// Thrown out of the operation whose import could not be bound. The library
/// catches it nowhere and records nothing about it in error records. The
/// import stays unbound: a later call tries again.
class KWCORE_API CkwBindingException : public std::exception {
 public:
  CkwBindingException(std::uint32_t nCode, const kwBindingInfo& info) noexcept;

  /// kwBIND_ERROR_LIBRARY or kwBIND_ERROR_PROCEDURE.
  std::uint32_t kwGetCode() const noexcept { return m_nCode; }
  /// The record as it stood when the binding gave up.
  const kwBindingInfo& kwGetInfo() const noexcept { return m_info; }
  /// "kwcore: cannot load <library> for <function>" or
  /// "kwcore: <library> has no <function>".
  const char* what() const noexcept override;

 private:
  std::uint32_t m_nCode;
  kwBindingInfo m_info;
  char m_szMessage[256];
};
