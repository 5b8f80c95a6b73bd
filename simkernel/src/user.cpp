// The user-mode side of the I/O manager: handles to opened devices, control requests with the
// METHOD_BUFFERED buffer rules, and closing (cleanup, then close once the file object is unreferenced).
#include <cstring>
#include <map>
#include <mutex>

#include "core.h"
#include "simkernel/user.h"

namespace simk::detail {
namespace {

struct UserState {
    std::mutex lock;
    std::map<simk::user::Handle, PFILE_OBJECT> handles;
    uintptr_t next = 0;
};

UserState& State() {
    static UserState* state = new UserState;
    return *state;
}

// The handle's file object with a reference for the caller, taken before another thread's close
// can drop the handle's own: as ObReferenceObjectByHandle does for a request, so that a request
// under way keeps the file object, and the driver's IRP_MJ_CLOSE waits for its end.
PFILE_OBJECT ReferenceFileOf(simk::user::Handle handle) {
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().handles.find(handle);
    if (it == State().handles.end()) return nullptr;
    ObfReferenceObject(it->second);
    return it->second;
}

// Closes the handle itself: its file object, with the handle's reference, or null for no such handle.
PFILE_OBJECT TakeHandle(simk::user::Handle handle) {
    PFILE_OBJECT file;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto it = State().handles.find(handle);
        if (it == State().handles.end()) return nullptr;
        file = it->second;
        State().handles.erase(it);
    }
    RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "a user-mode close");
    return file;
}

}  // namespace

void ResetUser() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().handles.clear();
    State().next = 0;
}

}  // namespace simk::detail

namespace simk::user {
using namespace simk::detail;
namespace rules = simk::verifier::rules;

NTSTATUS OpenDevice(const char16_t* path, Handle* out, ULONG desiredAccess) {
    *out = nullptr;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "a user-mode open");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = ResolveDevicePath(path, &device);
    if (!NT_SUCCESS(status)) return status;
    return OpenDeviceObject(device, out, desiredAccess);
}

NTSTATUS OpenDeviceObject(PDEVICE_OBJECT device, Handle* out, ULONG desiredAccess) {
    *out = nullptr;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "a user-mode open");
    NTSTATUS status = ReferenceDeviceForOpen(device);
    if (!NT_SUCCESS(status)) return status;
    // The named device's own security decides, before its driver hears of the open.
    status = CheckDeviceAccess(device, desiredAccess);
    if (!NT_SUCCESS(status)) {
        DereferenceDeviceForClose(device);
        return status;
    }

    bool read = desiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    bool write = desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
    PFILE_OBJECT file = CreateFileObject(device, read, write);
    PDEVICE_OBJECT target = IoGetAttachedDevice(device);
    PIRP irp = AllocateIoManagerIrp(target, file);
    irp->Flags |= IRP_CREATE_OPERATION;
    IO_SECURITY_CONTEXT security{nullptr, nullptr, desiredAccess, 0};
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_CREATE;
    sp->Parameters.Create.SecurityContext = &security;
    sp->Parameters.Create.Options = (FILE_OPEN << 24) | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    sp->Parameters.Create.ShareAccess = 0;
    sp->Parameters.Create.FileAttributes = 0;
    IO_STATUS_BLOCK iosb;
    status = SendIoManagerIrp(target, irp, &iosb);
    ReleaseIoManagerIrp(irp);
    if (!NT_SUCCESS(status)) {
        // A failed create never reaches the driver's close: the file object simply goes.
        FreeUnopenedFileObject(file);
        DereferenceDeviceForClose(device);
        return status;
    }
    std::lock_guard<std::mutex> guard(State().lock);
    Handle handle = (Handle)(uintptr_t)(4 * ++State().next);
    State().handles[handle] = file;
    *out = handle;
    return status;
}

NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                         ULONG_PTR* information) {
    if (information) *information = 0;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "a user-mode control request");
    PFILE_OBJECT file = ReferenceFileOf(handle);
    if (!file) return STATUS_INVALID_HANDLE;
    struct Dereference {
        PFILE_OBJECT file;
        ~Dereference() {
            if (file) ObfDereferenceObject(file);
        }
    } dereference{file};
    ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) && !file->ReadAccess) || ((required & FILE_WRITE_ACCESS) && !file->WriteAccess)) {
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
            if (in && inLen) std::memcpy(systemBuffer, in, inLen);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outLen ? IRP_INPUT_OPERATION : 0);
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
    } else if (method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
    } else {
        // Direct I/O: the input is buffered, the output described by an MDL over the caller's buffer.
        if (inLen) {
            systemBuffer = AllocateKernelPool(NonPagedPool, inLen, simk::Tag("IoSB"));
            if (in) std::memcpy(systemBuffer, in, inLen);
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
        if (copy && out) std::memcpy(out, systemBuffer, copy);
    }
    FreeKernelPool(systemBuffer);
    FreeKernelPool(mdl);
    if (information) *information = NT_ERROR(status) ? 0 : iosb.Information;
    return status;
}

NTSTATUS Close(Handle handle) {
    PFILE_OBJECT file = TakeHandle(handle);
    if (!file) return STATUS_INVALID_HANDLE;
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

NTSTATUS CloseWithoutCleanup(Handle handle) {
    PFILE_OBJECT file = TakeHandle(handle);
    if (!file) return STATUS_INVALID_HANDLE;
    ObfDereferenceObject(file);
    return STATUS_SUCCESS;
}

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().handles.size();
}

}  // namespace simk::user
