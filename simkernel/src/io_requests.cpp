// The I/O manager's requests: IRPs and their stack locations, IofCallDriver with the verifier's
// checks on what a dispatch routine returned, and the completion walk of IofCompleteRequest back
// up the stack through the completion routines. Also the IRPs the I/O manager sends itself (for
// user-mode handles) and those a test sends and waits for.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "io_state.h"
#include "pnp_internal.h"

namespace simk::detail {
namespace {

constexpr size_t kIrpQuarantine = 1024;
constexpr long long kIoManagerWaitMs = 120000;

// IRPs the I/O manager did not allocate (initialised by a driver in its own memory) get a record
// when they first reach the I/O manager.
std::shared_ptr<IrpRec> IrpRecord(PIRP irp)
{
    auto rec = FindIrp(irp);
    if (!rec) {
        rec = std::make_shared<IrpRec>();
        rec->locations.resize(irp->StackCount > 0 ? irp->StackCount : 0);
        State().irps[irp] = rec;
    }
    return rec;
}

void FreeIrpMemory(PIRP irp, IrpRec& rec)
{
    std::memset(rec.memory, kFreedFill, sizeof(IRP) + rec.locations.size() * sizeof(IO_STACK_LOCATION));
    rec.freed = true;
    State().irpQuarantine.push_back(irp);
    while (State().irpQuarantine.size() > kIrpQuarantine) {
        PIRP old = State().irpQuarantine.front();
        State().irpQuarantine.pop_front();
        auto it = State().irps.find(old);
        if (it != State().irps.end() && it->second->freed) {
            std::free(it->second->memory);
            State().irps.erase(it);
        }
    }
}

// The verifier's view of what a dispatch routine returned, once it has returned. Lock not held.
void CheckDispatchResult(const std::shared_ptr<IrpRec>& rec, PIRP irp, int index, unsigned long long seqBefore,
                         NTSTATUS status, PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    enum { None, Mismatch, NotCompleted, NotMarked, MarkedButNotPending } verdict = None;
    NTSTATUS completed = 0;
    {
        Guard guard(State().lock);
        LocationRec& loc = rec->locations[index];
        bool passed = loc.passSeq != seqBefore;
        if (status == STATUS_PENDING) {
            if (passed) {
                if (!loc.pendingAtPass)
                    verdict = NotMarked;
            } else {
                // Checked when the completion walk reaches this location.
                loc.returnedPending = true;
                loc.pendingDevice = device;
                loc.major = major;
                loc.minor = minor;
            }
        } else if (!passed) {
            verdict = NotCompleted;
        } else if (loc.statusAtPass != status) {
            verdict = Mismatch;
            completed = loc.statusAtPass;
        } else if (loc.pendingAtPass) {
            verdict = MarkedButNotPending;
        }
    }
    switch (verdict) {
    case Mismatch:
        rule::DispatchStatusMismatch(device, irp, major, minor, status, completed);
        break;
    case NotCompleted:
        rule::DispatchReturnedWithoutCompleting(device, irp, major, minor, status);
        break;
    case NotMarked:
        rule::MarkIrpPending(device, irp, major, minor);
        break;
    case MarkedButNotPending:
        rule::MarkIrpPending2(device, irp, major, minor, status);
        break;
    case None:
        break;
    }
}

void ClearStackLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

// The dispatch routines running on this thread, innermost last, with the request each was given
// and what it asked when it arrived (the request may have moved on or completed since).
struct Dispatching {
    PDEVICE_OBJECT device;
    PIRP irp;
    UCHAR major, minor;
};
thread_local std::vector<Dispatching> t_Dispatching;

// The rules on a driver's IoCallDriver of a request: the IRQL it may be sent at, and the remove
// lock a device that keeps one must hold for a request it received while passing it on.
void CheckForward(PDEVICE_OBJECT target, PIRP irp)
{
    const PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    const UCHAR major = next->MajorFunction;
    // ForwardedAtBadIrql: below DISPATCH_LEVEL, unless the request is one a DPC may send.
    if (ThreadIrql() == DISPATCH_LEVEL && major != IRP_MJ_POWER && major != IRP_MJ_READ && major != IRP_MJ_WRITE &&
        major != IRP_MJ_DEVICE_CONTROL && major != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        rule::ForwardedAtBadIrql(target, major, DISPATCH_LEVEL);
    }
    // The sender is the device whose dispatch routine for this request is running on this thread;
    // the stack location cannot tell, as IoSkipCurrentIrpStackLocation has moved it already.
    PDEVICE_OBJECT sender = nullptr;
    for (auto it = t_Dispatching.rbegin(); it != t_Dispatching.rend() && !sender; ++it) {
        if (it->irp == irp)
            sender = it->device;
    }
    if (!sender)
        return; // a request of the caller's own, or one sent again from a completion routine
    if (const void* lock = RemoveLockNotHeldFor(sender, irp))
        rule::RemoveLockForward(sender, lock, irp, major, next->MinorFunction);
}

} // namespace

bool DispatchingRemoveDevice()
{
    if (t_Dispatching.empty())
        return false;
    return t_Dispatching.back().major == IRP_MJ_PNP && t_Dispatching.back().minor == IRP_MN_REMOVE_DEVICE;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER)
        NotePoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void CheckRoutineReturn(const char* routine, PDEVICE_OBJECT device, KIRQL irql, ULONG regions)
{
    if (ThreadIrql() != irql)
        rule::DispatchIrqlChanged(routine, device, irql, ThreadIrql());
    if (ThreadCriticalRegionDepth() != regions) {
        rule::CriticalRegions(routine, device, regions, ThreadCriticalRegionDepth());
    }
}

std::string DescribeIrp(PIRP irp) { return "IRP " + Hex((uintptr_t)irp); }

// ---- IRPs the I/O manager sends ----------------------------------------------------------------

PIRP AllocateIoManagerIrp(PDEVICE_OBJECT target, PFILE_OBJECT file)
{
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    {
        Guard guard(State().lock);
        auto rec = FindIrp(irp);
        rec->ioManager = true;
        KeInitializeEvent(&rec->done, NotificationEvent, FALSE);
        irp->UserIosb = &rec->iosb;
        irp->UserEvent = &rec->done;
    }
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = (PETHREAD)PsGetCurrentThreadId();
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return irp;
}

NTSTATUS SendIoManagerIrp(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb, bool* abandoned)
{
    if (abandoned)
        *abandoned = false;
    std::shared_ptr<IrpRec> rec;
    {
        Guard guard(State().lock);
        rec = FindIrp(irp);
    }
    NTSTATUS status = IofCallDriver(target, irp);
    bool completed;
    {
        Guard guard(State().lock);
        completed = rec->completed;
        if (status != STATUS_PENDING && !completed)
            rec->abandoned = true;
    }
    if (status != STATUS_PENDING && !completed) {
        // The driver kept the IRP although it said it was done (reported by the verifier); the
        // caller goes on with the returned status.
        if (abandoned)
            *abandoned = true;
        iosb->Status = status;
        iosb->Information = 0;
        return status;
    }
    if (!WaitKernelEvent(&rec->done, kIoManagerWaitMs)) {
        std::fprintf(stderr, "*** STOP: a request sent to %s was never completed\n", DescribeDevice(target).c_str());
        std::abort();
    }
    *iosb = rec->iosb;
    return iosb->Status;
}

void ReleaseIoManagerIrp(PIRP irp)
{
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec || rec->abandoned || rec->freed)
        return;
    FreeIrpMemory(irp, *rec);
}

void NotePoStartNextPowerIrp(PIRP irp)
{
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec || rec->freed)
        return;
    int index = irp->CurrentLocation - 1;
    if (index < 0 || index >= (int)rec->locations.size())
        return;
    rec->locations[index].startNextNoted.push_back(irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
}

} // namespace simk::detail

namespace simk::io {
using namespace simk::detail;

PIRP BuildIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, NTSTATUS initialStatus)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    CCHAR stackSize = top->StackSize > target->StackSize ? top->StackSize : target->StackSize;
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (!irp)
        return nullptr;
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = 0;
    irp->Tail.Overlay.Thread = (PETHREAD)PsGetCurrentThreadId();
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    return irp;
}

namespace {
struct SendContext {
    KEVENT done;
};

NTSTATUS OriginatorCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(&static_cast<SendContext*>(Context)->done, IO_NO_INCREMENT, FALSE);
    // The originator frees the IRP after its wait.
    return STATUS_MORE_PROCESSING_REQUIRED;
}
} // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb, NTSTATUS* dispatchStatus)
{
    SendContext context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, OriginatorCompletion, &context, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(target, irp);
    if (dispatchStatus)
        *dispatchStatus = status;
    if (status != STATUS_PENDING && KeReadStateEvent(&context.done) == 0) {
        // Returned without completing (the verifier has reported it): nothing to wait for.
        if (iosb) {
            iosb->Status = status;
            iosb->Information = 0;
        }
        return status;
    }
    if (!WaitKernelEvent(&context.done, kIoManagerWaitMs)) {
        std::fprintf(stderr, "*** STOP: a request sent to %s was never completed\n", DescribeDevice(target).c_str());
        std::abort();
    }
    if (iosb)
        *iosb = irp->IoStatus;
    return irp->IoStatus.Status;
}

bool IsIrpCompleted(PIRP irp)
{
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec)
        return false;
    if (rec->completed)
        return true;
    return !rec->locations.empty() && rec->locations.back().passSeq != 0;
}

bool PowerStartNextNoted(PIRP irp, int locationIndex)
{
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec || locationIndex < 0 || locationIndex >= (int)rec->locations.size())
        return false;
    return !rec->locations[locationIndex].startNextNoted.empty();
}

int CurrentLocationIndex(PIRP irp) { return irp->CurrentLocation - 1; }

} // namespace simk::io

// ---- Kernel routines ----------------------------------------------------------------------------
using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "IoAllocateIrp");
    if (StackSize < 1)
        return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    void* memory = std::aligned_alloc(16, ((size_t)size + 15) & ~size_t(15));
    auto* irp = static_cast<PIRP>(memory);
    IoInitializeIrp(irp, size, StackSize);
    Guard guard(State().lock);
    auto rec = std::make_shared<IrpRec>();
    rec->locations.resize(StackSize);
    rec->memory = memory;
    State().irps[irp] = rec;
    return irp;
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

VOID IoFreeIrp(PIRP Irp)
{
    Guard guard(State().lock);
    auto rec = FindIrp(Irp);
    if (!rec || !rec->memory) {
        rule::BadIrpFree(Irp, "not an IRP from IoAllocateIrp");
        return;
    }
    if (rec->freed) {
        rule::BadIrpFree(Irp, "already freed");
        return;
    }
    if (!rec->completed && Irp->CurrentLocation <= Irp->StackCount) {
        rule::BadIrpFree(Irp, "it is still with a driver (sent and not completed back)");
        return;
    }
    FreeIrpMemory(Irp, *rec);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "IofCallDriver");
    std::shared_ptr<IrpRec> rec;
    {
        Guard guard(State().lock);
        if (!LiveDevice(DeviceObject)) {
            rule::InvalidDeviceObject(DeviceObject, "IofCallDriver");
            return STATUS_NO_SUCH_DEVICE;
        }
        auto existing = FindIrp(Irp);
        if (existing && (existing->freed || existing->completed)) {
            rule::IrpUseAfterComplete(Irp, "IofCallDriver");
            return STATUS_INVALID_PARAMETER;
        }
        rec = IrpRecord(Irp);
    }
    CheckForward(DeviceObject, Irp);
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0);
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    int index = Irp->CurrentLocation - 1;
    UCHAR major = sp->MajorFunction, minor = sp->MinorFunction;
    // Read here, while the caller still owns the request: whose routine the walk will call when it
    // passes this location (the device one location up, which set it).
    PDEVICE_OBJECT routineOwner =
        sp->CompletionRoutine && index + 1 < Irp->StackCount ? (sp + 1)->DeviceObject : nullptr;
    unsigned long long seqBefore;
    bool deleted;
    {
        Guard guard(State().lock);
        rec->locations[index].routineOwner = routineOwner;
        DeviceRec* device = LiveDevice(DeviceObject);
        deleted = device && device->deleted;
        seqBefore = rec->locations[index].passSeq;
        rec->locations[index].startNextNoted.clear();
    }
    // The handles of a deleted device still get their cleanup and close; nothing else may reach it.
    if (deleted && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE)
        rule::IrpToDeletedDevice(DeviceObject, major, minor);
    simk::pnp::detail::NoteIrpArrival(DeviceObject, Irp, major);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    if (!dispatch)
        dispatch = InvalidDeviceRequest;

    KIRQL irql = ThreadIrql();
    ULONG regions = ThreadCriticalRegionDepth();
    const bool setPower = major == IRP_MJ_POWER && minor == IRP_MN_SET_POWER;
    // A PDO is its bus driver's: the rules on a sleep's set-power are for function and filter drivers.
    const bool sleeping = setPower && sp->Parameters.Power.Type == SystemPowerState &&
                          sp->Parameters.Power.State.SystemState > PowerSystemWorking &&
                          DeviceObject->DeviceObjectExtension->AttachedTo != nullptr;
    NTSTATUS status;
    {
        DriverScope scope(driver);
        std::optional<SetPowerScope> power;
        if (setPower)
            power.emplace(DeviceObject, sleeping);
        t_Dispatching.push_back({DeviceObject, Irp, major, minor});
        status = dispatch(DeviceObject, Irp);
        t_Dispatching.pop_back();
    }
    CheckRoutineReturn("the dispatch routine", DeviceObject, irql, regions);
    CheckDispatchResult(rec, Irp, index, seqBefore, status, DeviceObject, major, minor);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "IofCompleteRequest");
    std::shared_ptr<IrpRec> rec;
    {
        Guard guard(State().lock);
        rec = FindIrp(Irp);
        if (rec && rec->freed) {
            rule::IrpUseAfterComplete(Irp, "IoCompleteRequest");
            return;
        }
        if (!rec || rec->completed || Irp->CurrentLocation > Irp->StackCount) {
            rule::IrpDoubleComplete(Irp);
            return;
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        rule::IrpCompleteWithPending(Irp);
    if (ThreadHoldsSpinLock())
        rule::SpinLockSafe(Irp);

    PIO_STACK_LOCATION stackPtr = IoGetCurrentIrpStackLocation(Irp);
    simk::pnp::detail::CheckPdoCompletion(stackPtr->DeviceObject, Irp);
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    if (stackPtr->MajorFunction == IRP_MJ_POWER &&
        (stackPtr->MinorFunction == IRP_MN_SET_POWER || stackPtr->MinorFunction == IRP_MN_QUERY_POWER)) {
        bool noted;
        {
            Guard guard(State().lock);
            const auto& list = rec->locations[stackPtr - first].startNextNoted;
            noted = std::find(list.begin(), list.end(), stackPtr->DeviceObject) != list.end();
        }
        if (!noted)
            rule::PowerIrpNoStartNext(stackPtr->DeviceObject, Irp, stackPtr->MinorFunction);
    }

    // The walk back up the stack, as the I/O manager does it: each location's completion routine
    // (set by the driver above) runs according to its SL_INVOKE_* bits, PendingReturned follows each
    // location's SL_PENDING_RETURNED, and STATUS_MORE_PROCESSING_REQUIRED stops the walk.
    IoSkipCurrentIrpStackLocation(Irp);
    do {
        int index = (int)(stackPtr - first);
        bool pending = (stackPtr->Control & SL_PENDING_RETURNED) != 0;
        bool pendingNotMarked = false;
        LocationRec deferred;
        {
            Guard guard(State().lock);
            LocationRec& loc = rec->locations[index];
            loc.passSeq = ++State().passSeq;
            loc.statusAtPass = Irp->IoStatus.Status;
            loc.pendingAtPass = pending;
            if (loc.returnedPending && !pending) {
                pendingNotMarked = true;
                deferred = loc;
            }
            loc.returnedPending = false;
            loc.startNextNoted.clear();
            loc.routineOwner = nullptr;
        }
        if (pendingNotMarked)
            rule::MarkIrpPending(deferred.pendingDevice, Irp, deferred.major, deferred.minor);

        Irp->PendingReturned = pending ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stackPtr->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stackPtr->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (stackPtr->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && stackPtr->CompletionRoutine) {
            PIO_COMPLETION_ROUTINE routine = stackPtr->CompletionRoutine;
            PVOID context = stackPtr->Context;
            ClearStackLocation(stackPtr);
            PDEVICE_OBJECT device =
                Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PDRIVER_OBJECT owner = device ? device->DriverObject : DriverOfAddress((const void*)routine);
            KIRQL irql = ThreadIrql();
            ULONG regions = ThreadCriticalRegionDepth();
            NTSTATUS result;
            {
                DriverScope scope(owner);
                result = routine(device, Irp, context);
            }
            CheckRoutineReturn("a completion routine", device, irql, regions);
            // The IRP may be gone already: whoever stopped the walk owns it now.
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else {
            if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned)
                IoMarkIrpPending(Irp);
            ClearStackLocation(stackPtr);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        stackPtr++;
    } while (Irp->CurrentLocation <= Irp->StackCount + 1);

    bool ioManager;
    {
        Guard guard(State().lock);
        rec->completed = true;
        ioManager = rec->ioManager;
    }
    if (ioManager) {
        if (Irp->UserIosb)
            *Irp->UserIosb = Irp->IoStatus;
        if (Irp->UserEvent)
            KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
}

} // extern "C"
