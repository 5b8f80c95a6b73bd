// Fault injection: make the Nth call of a kernel routine (counted from the arming) or every call
// fail with a chosen status, and count the calls made, so a test can sweep a creation path by
// failing its 1st, 2nd, ... call in turn until the path runs without reaching the armed call.
// Only routines for which CanFail holds can be armed; the others throw std::invalid_argument.
#pragma once

#include <wdm.h>

#include "simkernel/calls.h"

namespace simk::faults {

// The `n`th call (1-based) after this arming fails with `status`; later calls succeed again.
void FailNth(Call call, unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Every call fails with `status` until disarmed.
void FailAlways(Call call, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Every pool allocation with this tag returns NULL until disarmed (independent of FailNth).
void FailPoolTag(ULONG tag);
void Disarm(Call call);
void DisarmAll(); // also clears FailPoolTag; counts stay

// Calls made since the last reset, or since the call was last armed.
unsigned CallCount(Call call);
// Failures injected into this call since the last reset / arming.
unsigned Injected(Call call);
// True when an armed FailNth has fired (the path reached the armed call).
bool Fired(Call call);

} // namespace simk::faults
