// A wrapper of IStorage whose N-th create, open, read or write, counted across the whole
// wrapped tree (the elements it hands out share the plan), fails and changes nothing.
#pragma once

#include <memory>

#include <kwcore/kwStorage.h>

namespace kwtest {

struct CkwFaultPlan {
  /// 1-based number of the call that fails, 0 for none. Creates fail with
  /// STG_E_INSUFFICIENTMEMORY, opens with STG_E_FILENOTFOUND, reads with STG_E_READFAULT and
  /// writes with STG_E_MEDIUMFULL.
  int failCreateAt = 0, failOpenAt = 0, failReadAt = 0, failWriteAt = 0;
  int creates = 0, opens = 0, reads = 0, writes = 0;  // calls seen so far
};

/// Wraps `inner` (which gains a reference); the caller owns the result.
IStorage* WrapWithFaults(IStorage* inner, std::shared_ptr<CkwFaultPlan> plan);

}  // namespace kwtest
