// Fault injection for persistence tests: a wrapper of IStorage that passes every call to a
// real storage, except that the N-th create, open, read or write (counted across the whole
// wrapped tree: elements it hands out are wrapped too, sharing the plan) fails and changes
// nothing. Hand WrapWithFaults(real, plan) to the code under test; the plan counts calls.
#pragma once

#include <memory>

#include <kwcore/kwStorage.h>

namespace kwtest {

struct CkwFaultPlan {
  /// 1-based number of the call that fails, 0 for none. Creates (CreateStream and
  /// CreateStorage) fail with STG_E_INSUFFICIENTMEMORY, opens (OpenStream and OpenStorage)
  /// with STG_E_FILENOTFOUND, reads with STG_E_READFAULT and writes with STG_E_MEDIUMFULL.
  int failCreateAt = 0, failOpenAt = 0, failReadAt = 0, failWriteAt = 0;
  /// Calls seen so far.
  int creates = 0, opens = 0, reads = 0, writes = 0;
};

/// Wraps `inner` (which gains a reference); the caller owns the result.
IStorage* WrapWithFaults(IStorage* inner, std::shared_ptr<CkwFaultPlan> plan);

}  // namespace kwtest
