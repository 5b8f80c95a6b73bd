// Remove locks, as the I/O manager exports them: a count of requests in flight through a device
// and the one-way "removed" switch that makes further acquisitions fail while removal waits.
#include "internal.h"

using namespace simk::detail;

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG)
{
    Lock->Common.Removed = FALSE;
    // The bias the removal drops in IoReleaseRemoveLockAndWait.
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG, ULONG)
{
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    // Read and written atomically here, so the race the design allows (an acquisition reading the
    // switch while the removal sets it) is not reported as a data race.
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST))
        return STATUS_SUCCESS;
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG)
{
    const LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (left < 0 || (left == 0 && !__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST))) {
        rule::RemoveLockUnbalanced(RemoveLock, "IoReleaseRemoveLock");
        return;
    }
    if (left == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG)
{
    RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoReleaseRemoveLockAndWait");
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    // The caller's own acquisition, then the bias: what is left are requests still in flight.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) <= 0) {
        rule::RemoveLockUnbalanced(RemoveLock, "IoReleaseRemoveLockAndWait");
        return;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

} // extern "C"
