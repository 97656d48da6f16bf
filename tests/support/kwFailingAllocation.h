// Running out of memory on demand. The test programs that link
// kwFailingAllocation.cpp replace the global operator new and delete (every
// form) with versions on malloc and free that fail on request. Global
// operator new resolves to the executable's definition, so allocations made
// inside libkwcore and the standard library fail the same way.
#pragma once

namespace kwTest {

/// Makes the `n`th allocation from now (1: the next one) fail: the throwing
/// forms throw std::bad_alloc, the nothrow forms return null. One allocation
/// fails, then allocation works again; 0 disarms a pending failure.
void FailAllocation(int n) noexcept;

/// Allocations still to go before the armed failure; 0 once it has happened
/// (or when nothing is armed).
int PendingAllocationFailure() noexcept;

}  // namespace kwTest
