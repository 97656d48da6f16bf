// Fault injection for persistence tests: wrappers of IStorage and IStream
// that pass every call to a real storage, except that the N-th create, open,
// read or write (counted across the whole wrapped tree) fails.
//
//   auto plan = std::make_shared<kwtest::CkwFaultPlan>();
//   plan->failWriteAt = 3;                       // the third Write fails
//   kwtest::ComPtr<IStorage> faulty(kwtest::WrapWithFaults(real, plan));
//   ... hand `faulty` to the code under test; plan->writes counts the calls.
//
// Elements created or opened through a wrapper are wrapped too, sharing the
// plan. A failed call changes nothing in the real storage.
#pragma once

#include <memory>

#include <kwcore/kwStorage.h>

namespace kwtest {

struct CkwFaultPlan {
  /// 1-based number of the call that fails; 0 never fails. Creates are
  /// CreateStream and CreateStorage, opens OpenStream and OpenStorage. They
  /// fail with STG_E_INSUFFICIENTMEMORY, STG_E_FILENOTFOUND, STG_E_READFAULT
  /// and STG_E_MEDIUMFULL.
  int failCreateAt = 0;
  int failOpenAt = 0;
  int failReadAt = 0;
  int failWriteAt = 0;

  // Calls seen so far.
  int creates = 0;
  int opens = 0;
  int reads = 0;
  int writes = 0;
};

/// Wraps `inner` (which gains a reference); the caller owns the result.
IStorage* WrapWithFaults(IStorage* inner, std::shared_ptr<CkwFaultPlan> plan);

}  // namespace kwtest
