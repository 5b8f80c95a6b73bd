// The kernel routines a test can act on by name: fault injection makes one fail, a hook runs test
// code before or after one. Both count the routine's calls through the same call points.
#pragma once

#include <wdm.h>

namespace simk {

enum class Call {
    // Routines that can fail (fault injection) and be hooked before the call.
    ExAllocatePoolWithTag, // fails by returning NULL (the status is not used)
    IoCreateDevice,        // also hooked after the call
    IoCreateSymbolicLink,
    IoAttachDeviceToDeviceStackSafe,
    IoAllocateDriverObjectExtension,
    IoOpenDeviceRegistryKey,
    ZwSetValueKey,
    ObOpenObjectByPointer,
    ZwSetSecurityObject,
    // Routines that cannot fail: hooks only, before and after the call.
    ExAcquireFastMutex,
    ExReleaseFastMutex,
    ExAcquireFastMutexUnsafe,
    ExReleaseFastMutexUnsafe,
    IoDeleteDevice,
    IoInvalidateDeviceRelations,
    Count_
};

const char* CallName(Call call);
bool CanFail(Call call);

enum class When { Before, After };

// One call as a hook sees it.
struct CallSite {
    Call call;
    When when;
    const void* object; // the routine's first argument (the mutex, the device, the driver object); null for pool
    ULONG tag;          // ExAllocatePoolWithTag: the tag asked for
    HANDLE thread;      // PsGetCurrentThreadId of the caller
};

} // namespace simk
