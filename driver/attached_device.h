// A device object that sits on top of another device stack, and the three ways a handler hands
// a request to the driver below it.
#pragma once
#include <ntddk.h>
#include "driver/device_object_base.h"

// Gives the request away: the lower driver owns it afterwards and the caller must not touch it.
NTSTATUS PassIrpDown(PDEVICE_OBJECT LowerDevice, PIRP Irp);

// Sends the request down with a completion routine that runs on success, error and cancel.
NTSTATUS CallLowerWithCompletion(PDEVICE_OBJECT LowerDevice, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                 PVOID Context);

// Sends the request down and takes it back once the lower stack is done with it; the caller
// completes it. PASSIVE_LEVEL only: it may wait.
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);

// The completion routine ForwardIrpAndWait installs; Context is the waiter's event.
NTSTATUS NTAPI ForwardIrpAndWaitCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Attaches over m_PhysicalDeviceObject in Start, passes every request down and forwards fast I/O
// to the driver it attached to, and detaches in Delete.
class AttachedDevice : public DeviceObjectBase
{
public:
    ~AttachedDevice() override;
    NTSTATUS Start() override;
    void Delete() override;

    NTSTATUS DispatchCreate(PIRP Irp) override;
    NTSTATUS DispatchCreateNamedPipe(PIRP Irp) override;
    NTSTATUS DispatchClose(PIRP Irp) override;
    NTSTATUS DispatchRead(PIRP Irp) override;
    NTSTATUS DispatchWrite(PIRP Irp) override;
    NTSTATUS DispatchQueryInformation(PIRP Irp) override;
    NTSTATUS DispatchSetInformation(PIRP Irp) override;
    NTSTATUS DispatchQueryEa(PIRP Irp) override;
    NTSTATUS DispatchSetEa(PIRP Irp) override;
    NTSTATUS DispatchFlushBuffers(PIRP Irp) override;
    NTSTATUS DispatchQueryVolumeInformation(PIRP Irp) override;
    NTSTATUS DispatchSetVolumeInformation(PIRP Irp) override;
    NTSTATUS DispatchDirectoryControl(PIRP Irp) override;
    NTSTATUS DispatchFileSystemControl(PIRP Irp) override;
    NTSTATUS DispatchDeviceControl(PIRP Irp) override;
    NTSTATUS DispatchInternalDeviceControl(PIRP Irp) override;
    NTSTATUS DispatchShutdown(PIRP Irp) override;
    NTSTATUS DispatchLockControl(PIRP Irp) override;
    NTSTATUS DispatchCleanup(PIRP Irp) override;
    NTSTATUS DispatchCreateMailslot(PIRP Irp) override;
    NTSTATUS DispatchQuerySecurity(PIRP Irp) override;
    NTSTATUS DispatchSetSecurity(PIRP Irp) override;
    NTSTATUS DispatchPower(PIRP Irp) override;
    NTSTATUS DispatchSystemControl(PIRP Irp) override;
    NTSTATUS DispatchDeviceChange(PIRP Irp) override;
    NTSTATUS DispatchQueryQuota(PIRP Irp) override;
    NTSTATUS DispatchSetQuota(PIRP Irp) override;
    NTSTATUS DispatchPnp(PIRP Irp) override;
    NTSTATUS DispatchOther(PIRP Irp) override;

    PDEVICE_OBJECT m_PhysicalDeviceObject;
    PDEVICE_OBJECT m_LowerDeviceObject;
    // Held by every request on its way through the device; the removal waits for them and turns
    // later ones away, so none follows a lower device that is being detached.
    IO_REMOVE_LOCK m_RemoveLock;

protected:
    AttachedDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject);

    // Passes the request down under the remove lock; one that arrives after the removal began is
    // completed with STATUS_DELETE_PENDING.
    NTSTATUS PassDownHeld(PIRP Irp);

    // The lower driver's fast-I/O table, or null when it offers none.
    PFAST_IO_DISPATCH LowerFastIo() const;

public:
    // The fast-I/O half (fast_io.cpp): forwarded to the lower driver, except the six left at the
    // base's defaults.
    BOOLEAN FastIoCheckIfPossible(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                  BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
                                  PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                       ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                        ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoQueryBasicInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait, struct _FILE_BASIC_INFORMATION* Buffer,
                                 PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoQueryStandardInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                    struct _FILE_STANDARD_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                    PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoLock(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                       PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                       PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoUnlockSingle(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                               PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                               PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoUnlockAll(struct _FILE_OBJECT* FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                            PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoUnlockAllByKey(struct _FILE_OBJECT* FileObject, PVOID ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                                 PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoDeviceControl(struct _FILE_OBJECT* FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    void FastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) override;
    BOOLEAN FastIoQueryNetworkOpenInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                       struct _FILE_NETWORK_OPEN_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                       PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN MdlRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                    PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN MdlReadComplete(struct _FILE_OBJECT* FileObject, PMDL MdlChain, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN PrepareMdlWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                            PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN MdlWriteComplete(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PMDL MdlChain,
                             PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoReadCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                 ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                 struct _COMPRESSED_DATA_INFO* CompressedDataInfo, ULONG CompressedDataInfoLength,
                                 PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoWriteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                  ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                  struct _COMPRESSED_DATA_INFO* CompressedDataInfo, ULONG CompressedDataInfoLength,
                                  PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN MdlReadCompleteCompressed(struct _FILE_OBJECT* FileObject, PMDL MdlChain,
                                      PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN MdlWriteCompleteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PMDL MdlChain,
                                       PDEVICE_OBJECT DeviceObject) override;
    BOOLEAN FastIoQueryOpen(PIRP Irp, struct _FILE_NETWORK_OPEN_INFORMATION* NetworkInformation,
                            PDEVICE_OBJECT DeviceObject) override;
};
