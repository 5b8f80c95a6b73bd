// The user-mode side of the I/O manager: handles to opened devices, control requests with the
// METHOD_BUFFERED buffer rules, and closing (cleanup, then close once the file object is unreferenced).
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "simkernel/user.h"

namespace simk::detail {
namespace {

struct UserState {
    std::mutex lock;
    std::map<simk::user::Handle, PFILE_OBJECT> handles;
    std::map<simk::user::Handle, ACCESS_MASK> granted;
    simk::user::OpenRecord lastOpen;
    uintptr_t next = 0;
};

UserState& State()
{
    static UserState* state = new UserState;
    return *state;
}

// The handle's file object with a reference for the caller, taken before another thread's close
// can drop the handle's own: as ObReferenceObjectByHandle does for a request, so that a request
// under way keeps the file object, and the driver's IRP_MJ_CLOSE waits for its end.
PFILE_OBJECT ReferenceFileOf(simk::user::Handle handle)
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().handles.find(handle);
    if (it == State().handles.end())
        return nullptr;
    ObfReferenceObject(it->second);
    return it->second;
}

// Closes the handle itself: its file object, with the handle's reference, or null for no such handle.
PFILE_OBJECT TakeHandle(simk::user::Handle handle)
{
    PFILE_OBJECT file;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto it = State().handles.find(handle);
        if (it == State().handles.end())
            return nullptr;
        file = it->second;
        State().handles.erase(it);
        State().granted.erase(handle);
    }
    RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "a user-mode close");
    return file;
}

} // namespace

void ResetUser()
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().handles.clear();
    State().granted.clear();
    State().lastOpen = simk::user::OpenRecord{};
    State().next = 0;
}

} // namespace simk::detail

namespace simk::user {
using namespace simk::detail;
namespace rules = simk::verifier::rules;

namespace {

// An open of a device already found: the access check, the file object, IRP_MJ_CREATE.
NTSTATUS OpenFound(PDEVICE_OBJECT device, const std::u16string& fileName, PFILE_OBJECT related,
                   const OpenRequest& request, Handle* out)
{
    NTSTATUS status = ReferenceDeviceForOpen(device);
    if (!NT_SUCCESS(status))
        return status;
    // The named device's own security decides, before its driver hears of the open. With
    // FILE_DEVICE_SECURE_OPEN it also covers names below the device; without it Windows checks
    // only an open of the device itself, a hole this model does not reproduce (it is stricter).
    const bool backupIntent = (request.createOptions & FILE_OPEN_FOR_BACKUP_INTENT) != 0;
    const AccessCheckResult access = CheckDeviceAccess(device, request.desiredAccess, backupIntent);
    if (!NT_SUCCESS(access.status)) {
        DereferenceDeviceForClose(device);
        return access.status;
    }

    PFILE_OBJECT file =
        CreateFileObject(device, (access.granted & FILE_READ_DATA) != 0, (access.granted & FILE_WRITE_DATA) != 0);
    std::vector<WCHAR> nameBuffer(fileName.begin(), fileName.end());
    if (!fileName.empty()) {
        file->FileName.Buffer = nameBuffer.data();
        file->FileName.Length = static_cast<USHORT>(fileName.size() * sizeof(WCHAR));
        file->FileName.MaximumLength = file->FileName.Length;
    }
    file->RelatedFileObject = related;

    // As IopParseDevice leaves it for the driver (IRP_MJ_CREATE, IO_SECURITY_CONTEXT): the access
    // check is done, what it granted is previously granted, nothing remains to be granted.
    ACCESS_STATE accessState{};
    accessState.SecurityEvaluated = TRUE;
    accessState.Flags = access.privilegeFlags;
    accessState.OriginalDesiredAccess = request.desiredAccess;
    accessState.PreviouslyGrantedAccess = access.granted;
    accessState.RemainingDesiredAccess = 0;
    IO_SECURITY_CONTEXT security{nullptr, &accessState, request.desiredAccess, request.createOptions};

    PDEVICE_OBJECT target = IoGetAttachedDevice(device);
    PIRP irp = AllocateIoManagerIrp(target, file);
    irp->Flags |= IRP_CREATE_OPERATION;
    // The EA buffer reaches the driver in the system buffer, copied as the I/O manager does.
    std::vector<unsigned char> ea;
    if (request.eaBuffer && request.eaLength) {
        const auto* bytes = static_cast<const unsigned char*>(request.eaBuffer);
        ea.assign(bytes, bytes + request.eaLength);
        irp->AssociatedIrp.SystemBuffer = ea.data();
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_CREATE;
    sp->Parameters.Create.SecurityContext = request.asWine ? nullptr : &security;
    sp->Parameters.Create.Options =
        (request.asWine ? 0 : request.disposition << 24) | (request.createOptions & 0x00FFFFFF);
    sp->Parameters.Create.ShareAccess = request.shareAccess;
    sp->Parameters.Create.FileAttributes = 0;
    sp->Parameters.Create.EaLength = static_cast<ULONG>(ea.size());
    IO_STATUS_BLOCK iosb;
    status = SendIoManagerIrp(target, irp, &iosb);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    ReleaseIoManagerIrp(irp);
    // Windows keeps both for the file object's life; here only the driver's create may look at
    // them, so that the name's buffer and the related file need not outlive this call.
    file->FileName = UNICODE_STRING{};
    file->RelatedFileObject = nullptr;
    if (!NT_SUCCESS(status)) {
        // A failed create never reaches the driver's close: the file object simply goes.
        FreeUnopenedFileObject(file);
        DereferenceDeviceForClose(device);
        return status;
    }
    std::lock_guard<std::mutex> guard(State().lock);
    Handle handle = (Handle)(uintptr_t)(4 * ++State().next);
    State().handles[handle] = file;
    State().granted[handle] = access.granted;
    *out = handle;
    return status;
}

} // namespace

NTSTATUS Open(const char16_t* path, const OpenRequest& request, Handle* out)
{
    *out = nullptr;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "a user-mode open");
    {
        std::lock_guard<std::mutex> guard(State().lock);
        State().lastOpen = OpenRecord{path ? std::u16string(path) : std::u16string(), request};
    }
    if (request.disposition > FILE_MAXIMUM_DISPOSITION)
        return STATUS_INVALID_PARAMETER;
    std::u16string fileName;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT related = nullptr;
    if (request.related) {
        // A name relative to an open file goes to that file's device, whole.
        related = ReferenceFileOf(request.related);
        if (!related)
            return STATUS_INVALID_HANDLE;
        device = related->DeviceObject;
        fileName = path ? std::u16string(path) : std::u16string();
    } else {
        NTSTATUS status = ResolveDevicePath(path, &device, &fileName);
        if (!NT_SUCCESS(status))
            return status;
    }
    NTSTATUS status = OpenFound(device, fileName, related, request, out);
    if (related)
        ObfDereferenceObject(related);
    return status;
}

NTSTATUS OpenDevice(const char16_t* path, Handle* out, ULONG desiredAccess)
{
    OpenRequest request;
    request.desiredAccess = desiredAccess;
    return Open(path, request, out);
}

NTSTATUS OpenDeviceObject(PDEVICE_OBJECT device, Handle* out, ULONG desiredAccess)
{
    *out = nullptr;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "a user-mode open");
    OpenRequest request;
    request.desiredAccess = desiredAccess;
    return OpenFound(device, std::u16string(), nullptr, request, out);
}

NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                         ULONG_PTR* information)
{
    if (information)
        *information = 0;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "a user-mode control request");
    PFILE_OBJECT file = ReferenceFileOf(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    struct Dereference {
        PFILE_OBJECT file;
        ~Dereference()
        {
            if (file)
                ObfDereferenceObject(file);
        }
    } dereference{file};
    ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) && !file->ReadAccess) ||
        ((required & FILE_WRITE_ACCESS) && !file->WriteAccess)) {
        return STATUS_ACCESS_DENIED;
    }
    ULONG method = code & 3;
    PDEVICE_OBJECT target = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateIoManagerIrp(target, file);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outLen;
    sp->Parameters.DeviceIoControl.InputBufferLength = inLen;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    irp->UserBuffer = out;

    PVOID systemBuffer = nullptr;
    MDL* mdl = nullptr;
    if (method == METHOD_BUFFERED) {
        ULONG length = inLen > outLen ? inLen : outLen;
        if (length) {
            systemBuffer = AllocateKernelPool(NonPagedPool, length, simk::Tag("IoSB"));
            if (in && inLen)
                std::memcpy(systemBuffer, in, inLen);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outLen ? IRP_INPUT_OPERATION : 0);
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
    } else if (method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
    } else {
        // Direct I/O: the input is buffered, the output described by an MDL over the caller's buffer.
        if (inLen) {
            systemBuffer = AllocateKernelPool(NonPagedPool, inLen, simk::Tag("IoSB"));
            if (in)
                std::memcpy(systemBuffer, in, inLen);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        if (out && outLen) {
            mdl = static_cast<MDL*>(AllocateKernelPool(NonPagedPool, sizeof(MDL), simk::Tag("IoMd")));
            std::memset(mdl, 0, sizeof(MDL));
            mdl->Size = sizeof(MDL);
            mdl->StartVa = out;
            mdl->MappedSystemVa = out;
            mdl->ByteCount = outLen;
            irp->MdlAddress = mdl;
        }
    }

    IO_STATUS_BLOCK iosb;
    bool abandoned = false;
    NTSTATUS status = SendIoManagerIrp(target, irp, &iosb, &abandoned);
    ReleaseIoManagerIrp(irp);
    if (abandoned) {
        // The driver still holds the IRP, its buffers and so the file object.
        dereference.file = nullptr;
        return status;
    }

    if (method == METHOD_BUFFERED && !NT_ERROR(status)) {
        ULONG_PTR copy = iosb.Information;
        if (copy > outLen) {
            rule::BufferedIoOverrun(target, code, iosb.Information, outLen);
            copy = outLen;
        }
        if (copy && out)
            std::memcpy(out, systemBuffer, copy);
    }
    FreeKernelPool(systemBuffer);
    FreeKernelPool(mdl);
    if (information)
        *information = NT_ERROR(status) ? 0 : iosb.Information;
    return status;
}

NTSTATUS Close(Handle handle)
{
    PFILE_OBJECT file = TakeHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT target = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateIoManagerIrp(target, file);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLEANUP;
    IO_STATUS_BLOCK iosb;
    SendIoManagerIrp(target, irp, &iosb);
    ReleaseIoManagerIrp(irp);
    // The handle's reference; IRP_MJ_CLOSE follows when it was the last one.
    ObfDereferenceObject(file);
    return STATUS_SUCCESS;
}

NTSTATUS CloseWithoutCleanup(Handle handle)
{
    PFILE_OBJECT file = TakeHandle(handle);
    if (!file)
        return STATUS_INVALID_HANDLE;
    ObfDereferenceObject(file);
    return STATUS_SUCCESS;
}

size_t OpenHandleCount()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().handles.size();
}

OpenRecord LastOpen()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().lastOpen;
}

ACCESS_MASK GrantedAccess(Handle handle)
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().granted.find(handle);
    return it == State().granted.end() ? 0 : it->second;
}

} // namespace simk::user
