// The Plug and Play manager's own private interface: what its flows share with each other and with
// the power and registry managers, and the checks the I/O manager calls it for. The kernel-wide
// private interface is internal.h.
#pragma once

#include "simkernel/pnp.h"

#include <chrono>
#include <functional>
#include <string>

namespace simk::pnp::detail {

// The instance path of a PDO that has a node in the tree; false for any other device object.
bool InstancePathOfPdo(const DEVICE_OBJECT* pdo, std::u16string* instancePath);
// Forgets every registered device interface and notification registration (a kernel reset).
void ResetInterfaces();
// The manager's own disable of a device's interfaces once its stack is removed, each announced.
void DisableInterfacesOf(const std::u16string& instancePath);
// Queues a notification's delivery to the manager's work queue, behind the work already there.
void QueueNotification(std::function<void()> deliver);
// A driver going away with a notification registration left: reported, and the registration dropped.
void CheckNotificationsAtUnload(PDRIVER_OBJECT driver, const char* when);

struct SyncIrpResult {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
    bool completed = false; // false: a driver held the request past the timeout
};

// Sends a new request to `target` the way the managers do: an IRP sized for the target's stack,
// IoStatus.Status STATUS_NOT_SUPPORTED and Information 0, the first location filled by
// `fill`, sent with IoCallDriver (PoCallDriver for power), waited for on an event.
// A request still pending after the timeout is reported and abandoned (never freed).
// `sending` sees the IRP just before it is sent; `completed` runs inside the completion routine,
// before the IRP goes back to the sender; `timedOut` reports a request held past the timeout in
// place of PnpIrpNeverCompleted. A power request to a stack that is not DO_POWER_PAGABLE is sent
// at DISPATCH_LEVEL.
SyncIrpResult SendAndWait(DEVICE_OBJECT* target, UCHAR major, UCHAR minor,
                          const std::function<void(IO_STACK_LOCATION*)>& fill,
                          const std::function<void(IRP*)>& sending = {},
                          const std::function<void(IRP*)>& completed = {}, const std::function<void()>& timedOut = {});

// Appends to the manager's request log; the returned index completes the entry.
size_t LogIrp(DEVICE_OBJECT* pdo, DEVICE_OBJECT* target, UCHAR major, UCHAR minor, ULONG detail);
void LogIrpResult(size_t index, NTSTATUS status, ULONG_PTR information);

// The root bus driver's PDO for a new root device, with its node; null when none can be created.
DEVICE_OBJECT* CreateRootPdo(DeviceNode** created, const std::u16string& hardwareId);
// Before a root device's final removal: the root enumerator deletes its PDO then.
void MarkRootDeviceGoing(DeviceNode* node);
// A test asked the root enumerator to fail bus-relations queries at this PDO.
bool RootRelationsFailing(const DEVICE_OBJECT* pdo);
// With the manager's reset, under its state lock.
void ResetRootEnumerator();
std::chrono::milliseconds PendingTimeout();

// Checks on drivers, called by the I/O manager: a PnP or WMI request reaching a PDO already
// answered by a driver above, and its completion; a PDO deleted; the last open of a device closed.
void NoteIrpArrival(DEVICE_OBJECT* device, const IRP* irp, UCHAR major);
void CheckPdoCompletion(DEVICE_OBJECT* completer, const IRP* irp);
void NoteDeviceDeleted(DEVICE_OBJECT* device);
void NoteLastHandleClosed(DEVICE_OBJECT* device);

void ResetFunctionDouble();
void ResetSystemPower();

} // namespace simk::pnp::detail
