// Requests built the way the I/O manager builds its own, for tests and for the Plug and Play and
// power managers: an IRP for a device stack, sent and waited for.
#pragma once

#include <wdm.h>

namespace simk::io {

// An IRP with the stack size of `target`'s stack (the top of the stack `target` is in, as Windows
// sends to IoGetAttachedDevice), the first location set to major/minor, IoStatus.Status preset to
// `initialStatus` (the Plug and Play manager presets STATUS_NOT_SUPPORTED), Information 0.
// Free with IoFreeIrp after SendAndWait.
PIRP BuildIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0, NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

// Sends the IRP to `target` (not to the top of its stack) at the caller's IRQL and waits until it is
// completed back to the originator (the originator's completion routine returns
// STATUS_MORE_PROCESSING_REQUIRED). Returns the final IoStatus.Status; `iosb` receives IoStatus.
// `dispatchStatus` receives what IofCallDriver returned.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb = nullptr,
                     NTSTATUS* dispatchStatus = nullptr);

// Builds, sends and frees in one step; the first location's parameters can be filled by `prepare`.
template <typename Prepare>
NTSTATUS Call(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, Prepare prepare, IO_STATUS_BLOCK* iosb = nullptr)
{
    PIRP irp = BuildIrp(target, major, minor);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    prepare(IoGetNextIrpStackLocation(irp), irp);
    NTSTATUS status = SendAndWait(target, irp, iosb);
    IoFreeIrp(irp);
    return status;
}

// State the I/O manager keeps about an IRP.
bool IsIrpCompleted(PIRP irp);                         // completion walked past its first location
bool PowerStartNextNoted(PIRP irp, int locationIndex); // PoStartNextPowerIrp seen at that location
int CurrentLocationIndex(PIRP irp);                    // index of the current stack location (CurrentLocation - 1)

} // namespace simk::io
