// The base class of every object that lives in a device extension: one virtual handler per
// major function, the fast-I/O operations, and the one way a request is completed.
#pragma once
#include <ntddk.h>
#include "driver/kernel_support.h"

// Completes a request whose IoStatus the caller has already filled in. A power request must
// let the power manager send the next one before it goes.
void CompleteIrp(PIRP Irp);
// Stores Status in IoStatus.Status, completes the request and returns Status: a handler that
// answers a request itself ends with this.
NTSTATUS CompleteIrpWith(PIRP Irp, NTSTATUS Status);

// The table's order is the object's interface: destructor, Start, Delete, one handler per major
// function code 0x00-0x1B, DispatchOther for anything above, then the FAST_IO_DISPATCH members.
class DeviceObjectBase
{
public:
    virtual ~DeviceObjectBase();
    virtual NTSTATUS Start();
    virtual void Delete();

    virtual NTSTATUS DispatchCreate(PIRP Irp);
    virtual NTSTATUS DispatchCreateNamedPipe(PIRP Irp);
    virtual NTSTATUS DispatchClose(PIRP Irp);
    virtual NTSTATUS DispatchRead(PIRP Irp);
    virtual NTSTATUS DispatchWrite(PIRP Irp);
    virtual NTSTATUS DispatchQueryInformation(PIRP Irp);
    virtual NTSTATUS DispatchSetInformation(PIRP Irp);
    virtual NTSTATUS DispatchQueryEa(PIRP Irp);
    virtual NTSTATUS DispatchSetEa(PIRP Irp);
    virtual NTSTATUS DispatchFlushBuffers(PIRP Irp);
    virtual NTSTATUS DispatchQueryVolumeInformation(PIRP Irp);
    virtual NTSTATUS DispatchSetVolumeInformation(PIRP Irp);
    virtual NTSTATUS DispatchDirectoryControl(PIRP Irp);
    virtual NTSTATUS DispatchFileSystemControl(PIRP Irp);
    virtual NTSTATUS DispatchDeviceControl(PIRP Irp);
    virtual NTSTATUS DispatchInternalDeviceControl(PIRP Irp);
    virtual NTSTATUS DispatchShutdown(PIRP Irp);
    virtual NTSTATUS DispatchLockControl(PIRP Irp);
    virtual NTSTATUS DispatchCleanup(PIRP Irp);
    virtual NTSTATUS DispatchCreateMailslot(PIRP Irp);
    virtual NTSTATUS DispatchQuerySecurity(PIRP Irp);
    virtual NTSTATUS DispatchSetSecurity(PIRP Irp);
    virtual NTSTATUS DispatchPower(PIRP Irp);
    virtual NTSTATUS DispatchSystemControl(PIRP Irp);
    virtual NTSTATUS DispatchDeviceChange(PIRP Irp);
    virtual NTSTATUS DispatchQueryQuota(PIRP Irp);
    virtual NTSTATUS DispatchSetQuota(PIRP Irp);
    virtual NTSTATUS DispatchPnp(PIRP Irp);
    virtual NTSTATUS DispatchOther(PIRP Irp);

    PDRIVER_OBJECT m_DriverObject;
    PDEVICE_OBJECT m_DeviceObject;
    bool m_Deleted;

protected:
    DeviceObjectBase(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject);

    DeviceObjectBase(const DeviceObjectBase&) = delete;
    DeviceObjectBase& operator=(const DeviceObjectBase&) = delete;

    // What every handler a class leaves alone does with its request.
    static NTSTATUS CompleteNotImplemented(PIRP Irp);

public:
    // The fast-I/O half (fast_io.cpp): the FAST_IO_DISPATCH members in their order, after
    // DispatchOther in the table. Nothing installs them, so only a caller of the class reaches them.
    virtual BOOLEAN FastIoCheckIfPossible(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                          BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation,
                                          PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                               ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                                ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoQueryBasicInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                         struct _FILE_BASIC_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                         PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoQueryStandardInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                            struct _FILE_STANDARD_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                            PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoLock(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                               PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                               PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoUnlockSingle(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                       PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                                       PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoUnlockAll(struct _FILE_OBJECT* FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                                    PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoUnlockAllByKey(struct _FILE_OBJECT* FileObject, PVOID ProcessId, ULONG Key,
                                         PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoDeviceControl(struct _FILE_OBJECT* FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                        ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                        ULONG IoControlCode, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual void AcquireFileForNtCreateSection(struct _FILE_OBJECT* FileObject);
    virtual void ReleaseFileForNtCreateSection(struct _FILE_OBJECT* FileObject);
    virtual void FastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
    virtual BOOLEAN FastIoQueryNetworkOpenInfo(struct _FILE_OBJECT* FileObject, BOOLEAN Wait,
                                               struct _FILE_NETWORK_OPEN_INFORMATION* Buffer, PIO_STATUS_BLOCK IoStatus,
                                               PDEVICE_OBJECT DeviceObject);
    virtual NTSTATUS AcquireForModWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER EndingOffset,
                                        struct _ERESOURCE** ResourceToRelease, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN MdlRead(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                            PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN MdlReadComplete(struct _FILE_OBJECT* FileObject, PMDL MdlChain, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN PrepareMdlWrite(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                    ULONG LockKey, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                    PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN MdlWriteComplete(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, PMDL MdlChain,
                                     PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoReadCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                         ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                         struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                         ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoWriteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                          ULONG LockKey, PVOID Buffer, PMDL* MdlChain, PIO_STATUS_BLOCK IoStatus,
                                          struct _COMPRESSED_DATA_INFO* CompressedDataInfo,
                                          ULONG CompressedDataInfoLength, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN MdlReadCompleteCompressed(struct _FILE_OBJECT* FileObject, PMDL MdlChain,
                                              PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN MdlWriteCompleteCompressed(struct _FILE_OBJECT* FileObject, PLARGE_INTEGER FileOffset,
                                               PMDL MdlChain, PDEVICE_OBJECT DeviceObject);
    virtual BOOLEAN FastIoQueryOpen(PIRP Irp, struct _FILE_NETWORK_OPEN_INFORMATION* NetworkInformation,
                                    PDEVICE_OBJECT DeviceObject);
    virtual NTSTATUS ReleaseForModWrite(struct _FILE_OBJECT* FileObject, struct _ERESOURCE* ResourceToRelease,
                                        PDEVICE_OBJECT DeviceObject);
    virtual NTSTATUS AcquireForCcFlush(struct _FILE_OBJECT* FileObject, PDEVICE_OBJECT DeviceObject);
    virtual NTSTATUS ReleaseForCcFlush(struct _FILE_OBJECT* FileObject, PDEVICE_OBJECT DeviceObject);
};

// Deletes a half-built object, exactly once, when a creation path returns before its end.
// Creation paths build step by step, return the first failure, and Dismiss() on success.
class DeleteOnFailure
{
public:
    explicit DeleteOnFailure(DeviceObjectBase* object) : m_Object(object) {}
    ~DeleteOnFailure()
    {
        if (m_Object != nullptr) {
            m_Object->Delete();
        }
    }

    DeleteOnFailure(const DeleteOnFailure&) = delete;
    DeleteOnFailure& operator=(const DeleteOnFailure&) = delete;

    void Dismiss() { m_Object = nullptr; }

private:
    DeviceObjectBase* m_Object;
};

// The dispatch routine installed for every major function: hands the request to the object in
// the target device's extension.
NTSTATUS NTAPI DispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
