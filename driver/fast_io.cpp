// The fast-I/O half of the class model: the 27 FAST_IO_DISPATCH operations every device class
// carries, DeviceObjectBase's defaults and AttachedDevice's forwarding to the driver below.
#include <ntddk.h>
#include "driver/device_object_base.h"
#include "driver/attached_device.h"

// The driver installs no fast-I/O table, so these are reachable only through the class; the
// defaults say "not done this way" in each result type.

BOOLEAN DeviceObjectBase::FastIoCheckIfPossible(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, BOOLEAN,
                                                PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoRead(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID,
                                     PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoWrite(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID,
                                      PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoQueryBasicInfo(struct _FILE_OBJECT*, BOOLEAN, struct _FILE_BASIC_INFORMATION*,
                                               PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoQueryStandardInfo(struct _FILE_OBJECT*, BOOLEAN, struct _FILE_STANDARD_INFORMATION*,
                                                  PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoLock(struct _FILE_OBJECT*, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, BOOLEAN,
                                     BOOLEAN, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoUnlockSingle(struct _FILE_OBJECT*, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG,
                                             PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoUnlockAll(struct _FILE_OBJECT*, PEPROCESS, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoUnlockAllByKey(struct _FILE_OBJECT*, PVOID, ULONG, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoDeviceControl(struct _FILE_OBJECT*, BOOLEAN, PVOID, ULONG, PVOID, ULONG, ULONG,
                                              PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

void DeviceObjectBase::AcquireFileForNtCreateSection(struct _FILE_OBJECT*) {}

void DeviceObjectBase::ReleaseFileForNtCreateSection(struct _FILE_OBJECT*) {}

void DeviceObjectBase::FastIoDetachDevice(PDEVICE_OBJECT, PDEVICE_OBJECT) {}

BOOLEAN DeviceObjectBase::FastIoQueryNetworkOpenInfo(struct _FILE_OBJECT*, BOOLEAN,
                                                     struct _FILE_NETWORK_OPEN_INFORMATION*, PIO_STATUS_BLOCK,
                                                     PDEVICE_OBJECT)
{
    return FALSE;
}

NTSTATUS DeviceObjectBase::AcquireForModWrite(struct _FILE_OBJECT*, PLARGE_INTEGER, struct _ERESOURCE**, PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN DeviceObjectBase::MdlRead(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                                  PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlReadComplete(struct _FILE_OBJECT*, PMDL, PDEVICE_OBJECT) { return FALSE; }

BOOLEAN DeviceObjectBase::PrepareMdlWrite(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                                          PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlWriteComplete(struct _FILE_OBJECT*, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT) { return FALSE; }

BOOLEAN DeviceObjectBase::FastIoReadCompressed(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*,
                                               PIO_STATUS_BLOCK, struct _COMPRESSED_DATA_INFO*, ULONG, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoWriteCompressed(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*,
                                                PIO_STATUS_BLOCK, struct _COMPRESSED_DATA_INFO*, ULONG, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlReadCompleteCompressed(struct _FILE_OBJECT*, PMDL, PDEVICE_OBJECT) { return FALSE; }

BOOLEAN DeviceObjectBase::MdlWriteCompleteCompressed(struct _FILE_OBJECT*, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoQueryOpen(PIRP, struct _FILE_NETWORK_OPEN_INFORMATION*, PDEVICE_OBJECT)
{
    return FALSE;
}

NTSTATUS DeviceObjectBase::ReleaseForModWrite(struct _FILE_OBJECT*, struct _ERESOURCE*, PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS DeviceObjectBase::AcquireForCcFlush(struct _FILE_OBJECT*, PDEVICE_OBJECT) { return STATUS_UNSUCCESSFUL; }

NTSTATUS DeviceObjectBase::ReleaseForCcFlush(struct _FILE_OBJECT*, PDEVICE_OBJECT) { return STATUS_UNSUCCESSFUL; }

// Fast I/O goes to the lower driver's table with the lower device in place of ours. A lower
// driver without a table, or without the routine, gets FALSE; SizeOfFastIoDispatch is not
// consulted.

PFAST_IO_DISPATCH AttachedDevice::LowerFastIo() const { return m_LowerDeviceObject->DriverObject->FastIoDispatch; }

#define FORWARD_FAST_IO(Member, ...)                    \
    PFAST_IO_DISPATCH lower = LowerFastIo();            \
    if (lower == nullptr || lower->Member == nullptr) { \
        return FALSE;                                   \
    }                                                   \
    return lower->Member(__VA_ARGS__, m_LowerDeviceObject)

BOOLEAN AttachedDevice::FastIoCheckIfPossible(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                              BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation,
                                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoCheckIfPossible, FileObject, FileOffset, Length, Wait, LockKey, CheckForReadOperation,
                    IoStatus);
}

BOOLEAN AttachedDevice::FastIoRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                   BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
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

BOOLEAN AttachedDevice::FastIoUnlockAll(struct _FILE_OBJECT* FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                                        PDEVICE_OBJECT)
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

BOOLEAN AttachedDevice::MdlRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                                PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT)
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

BOOLEAN AttachedDevice::FastIoReadCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                             ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                             struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                             ULONG CompressedDataInfoLength, PDEVICE_OBJECT)
{
    FORWARD_FAST_IO(FastIoReadCompressed, FileObject, FileOffset, Length, LockKey, Buffer, MdlChain, IoStatus,
                    CompressedDataInfo, CompressedDataInfoLength);
}

BOOLEAN AttachedDevice::FastIoWriteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                              ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
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
