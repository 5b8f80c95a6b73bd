// Attachment over a lower device stack, the pass-down defaults and the ways of handing a request
// to the lower driver.
#include <ntddk.h>
#include "driver/attached_device.h"

NTSTATUS PassIrpDown(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        // The power manager sends the next power request only once this driver says so.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(LowerDevice, Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS CallLowerWithCompletion(PDEVICE_OBJECT LowerDevice, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                 PVOID Context)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        return PoCallDriver(LowerDevice, Irp);
    }
    return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = CallLowerWithCompletion(LowerDevice, Irp, ForwardIrpAndWaitCompletion, &event);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS NTAPI ForwardIrpAndWaitCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    // Only a request that went pending has a waiter; the event lives on that waiter's stack.
    if (Irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    }
    // Stops completion here so the request cannot be freed before the waiter reads its status.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

constexpr ULONG ATTACHED_REMOVE_LOCK_TAG = MakePoolTag("msrl");

} // namespace

AttachedDevice::AttachedDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                               PDEVICE_OBJECT PhysicalDeviceObject)
    : DeviceObjectBase(DriverObject, DeviceObject), m_PhysicalDeviceObject(PhysicalDeviceObject),
      m_LowerDeviceObject(nullptr)
{
    IoInitializeRemoveLock(&m_RemoveLock, ATTACHED_REMOVE_LOCK_TAG, 0, 0);
}

AttachedDevice::~AttachedDevice() {}

NTSTATUS AttachedDevice::Start()
{
    const NTSTATUS status =
        IoAttachDeviceToDeviceStackSafe(m_DeviceObject, m_PhysicalDeviceObject, &m_LowerDeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A device above a pageable one must be pageable too, or the power manager would call it at
    // DISPATCH_LEVEL in a stack it believes it may page.
    m_DeviceObject->Flags |= m_LowerDeviceObject->Flags & DO_POWER_PAGABLE;
    m_DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS AttachedDevice::PassDownHeld(PIRP Irp)
{
    const NTSTATUS held = IoAcquireRemoveLock(&m_RemoveLock, Irp);
    if (!NT_SUCCESS(held)) {
        return CompleteIrpWith(Irp, held);
    }
    const NTSTATUS status = PassIrpDown(m_LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&m_RemoveLock, Irp);
    return status;
}

void AttachedDevice::Delete()
{
    if (m_LowerDeviceObject != nullptr) {
        IoDetachDevice(m_LowerDeviceObject);
        m_LowerDeviceObject = nullptr;
    }
    DeviceObjectBase::Delete();
}

NTSTATUS AttachedDevice::DispatchCreate(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchCreateNamedPipe(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchClose(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchRead(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchWrite(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryEa(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetEa(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchFlushBuffers(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryVolumeInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetVolumeInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchDirectoryControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchFileSystemControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchDeviceControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchInternalDeviceControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchShutdown(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchLockControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchCleanup(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchCreateMailslot(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQuerySecurity(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetSecurity(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchPower(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSystemControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchDeviceChange(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryQuota(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetQuota(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchPnp(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchOther(PIRP Irp) { return PassDownHeld(Irp); }

// Fast I/O goes to the lower driver's table with the lower device in place of ours. A lower
// driver without a table, or without the routine, gets FALSE; SizeOfFastIoDispatch is not
// consulted.

PFAST_IO_DISPATCH AttachedDevice::LowerFastIo() const
{
    return m_LowerDeviceObject->DriverObject->FastIoDispatch;
}

#define FORWARD_FAST_IO(Member, ...)                                                                   \
    PFAST_IO_DISPATCH lower = LowerFastIo();                                                           \
    if (lower == nullptr || lower->Member == nullptr) {                                                \
        return FALSE;                                                                                  \
    }                                                                                                  \
    return lower->Member(__VA_ARGS__, m_LowerDeviceObject)

BOOLEAN AttachedDevice::FastIoCheckIfPossible(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                              ULONG Length, BOOLEAN Wait, ULONG LockKey,
                                              BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
                                              PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoCheckIfPossible, FileObject, FileOffset, Length, Wait, LockKey, CheckForReadOperation,
                    IoStatus);
}

BOOLEAN AttachedDevice::FastIoRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                   BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                                   PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoRead, FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus);
}

BOOLEAN AttachedDevice::FastIoWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                    BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                                    PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoWrite, FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus);
}

BOOLEAN AttachedDevice::FastIoQueryBasicInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                             struct _FILE_BASIC_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                             PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoQueryBasicInfo, FileObject, Wait, Buffer, IoStatus);
}

BOOLEAN AttachedDevice::FastIoQueryStandardInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                                struct _FILE_STANDARD_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                                PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoQueryStandardInfo, FileObject, Wait, Buffer, IoStatus);
}

BOOLEAN AttachedDevice::FastIoLock(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                                   PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                                   PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoLock, FileObject, FileOffset, Length, ProcessId, Key, FailImmediately, ExclusiveLock,
                    IoStatus);
}

BOOLEAN AttachedDevice::FastIoUnlockSingle(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                           PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoUnlockSingle, FileObject, FileOffset, Length, ProcessId, Key, IoStatus);
}

BOOLEAN AttachedDevice::FastIoUnlockAll(struct _FILE_OBJECT* FileObject, PEPROCESS ProcessId,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoUnlockAll, FileObject, ProcessId, IoStatus);
}

BOOLEAN AttachedDevice::FastIoUnlockAllByKey(struct _FILE_OBJECT* FileObject, PVOID ProcessId, ULONG Key,
                                             PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoUnlockAllByKey, FileObject, ProcessId, Key, IoStatus);
}

BOOLEAN AttachedDevice::FastIoDeviceControl(struct _FILE_OBJECT* FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                            ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                            ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoDeviceControl, FileObject, Wait, InputBuffer, InputBufferLength, OutputBuffer,
                    OutputBufferLength, IoControlCode, IoStatus);
}

void AttachedDevice::FastIoDetachDevice(PDEVICE_OBJECT, PDEVICE_OBJECT)
{
    // The device below is going away: detach and end this object with it.
    Delete();
}

BOOLEAN AttachedDevice::FastIoQueryNetworkOpenInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                                   struct _FILE_NETWORK_OPEN_INFORMATION* Buffer,
                                                   PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoQueryNetworkOpenInfo, FileObject, Wait, Buffer, IoStatus);
}

BOOLEAN AttachedDevice::MdlRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(MdlRead, FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus);
}

BOOLEAN AttachedDevice::MdlReadComplete(struct _FILE_OBJECT* FileObject, PMDL MdlChain, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(MdlReadComplete, FileObject, MdlChain);
}

BOOLEAN AttachedDevice::PrepareMdlWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                        ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(PrepareMdlWrite, FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus);
}

BOOLEAN AttachedDevice::MdlWriteComplete(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PMDL MdlChain,
                                         PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(MdlWriteComplete, FileObject, FileOffset, MdlChain);
}

BOOLEAN AttachedDevice::FastIoReadCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                             ULONG Length, ULONG LockKey, PVOID Buffer, PMDL* MdlChain,
                                             PIO_STATUS_BLOCK IoStatus,
                                             struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                             ULONG CompressedDataInfoLength, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoReadCompressed, FileObject, FileOffset, Length, LockKey, Buffer, MdlChain, IoStatus,
                    CompressedDataInfo, CompressedDataInfoLength);
}

BOOLEAN AttachedDevice::FastIoWriteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                              ULONG Length, ULONG LockKey, PVOID Buffer, PMDL* MdlChain,
                                              PIO_STATUS_BLOCK IoStatus,
                                              struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                              ULONG CompressedDataInfoLength, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoWriteCompressed, FileObject, FileOffset, Length, LockKey, Buffer, MdlChain, IoStatus,
                    CompressedDataInfo, CompressedDataInfoLength);
}

BOOLEAN AttachedDevice::MdlReadCompleteCompressed(struct _FILE_OBJECT* FileObject, PMDL MdlChain, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(MdlReadCompleteCompressed, FileObject, MdlChain);
}

BOOLEAN AttachedDevice::MdlWriteCompleteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                                   PMDL MdlChain, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(MdlWriteCompleteCompressed, FileObject, FileOffset, MdlChain);
}

BOOLEAN AttachedDevice::FastIoQueryOpen(PIRP Irp, struct _FILE_NETWORK_OPEN_INFORMATION* NetworkInformation,
                                        PDEVICE_OBJECT DeviceObject)
{
    PFAST_IO_DISPATCH lower = LowerFastIo();
    if (lower == nullptr || lower->FastIoQueryOpen == nullptr) {
        return FALSE;
    }
    // The lower driver reads its own device from the stack location during the call.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = m_LowerDeviceObject;
    const BOOLEAN result = lower->FastIoQueryOpen(Irp, NetworkInformation, m_LowerDeviceObject);
    stack->DeviceObject = DeviceObject;
    return result != FALSE ? TRUE : FALSE;
}

#undef FORWARD_FAST_IO
