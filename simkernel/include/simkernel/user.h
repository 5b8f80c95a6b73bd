// The user-mode side of the simulated I/O manager: open a device through its symbolic link, send it
// control requests, close it. Requests are delivered at PASSIVE_LEVEL on the calling thread.
#pragma once

#include "simkernel/basetypes.h"

namespace simk::user {

using Handle = void*;

// Who opens: the access check of an open weighs the device's security against this caller's
// groups. An administrator runs elevated; a plain user (or an administrator's filtered token) has
// no enabled Administrators group. Administrator until set, and again after a kernel reset.
enum class Caller { System, Administrator, User };
void SetCaller(Caller caller);
Caller CurrentCaller();

// Sets the caller for a scope and restores the earlier one.
class ActingAs {
public:
    explicit ActingAs(Caller caller) : m_Earlier(CurrentCaller()) { SetCaller(caller); }
    ~ActingAs() { SetCaller(m_Earlier); }
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

private:
    Caller m_Earlier;
};

// Opens "\\.\Name", "\DosDevices\Name", "\??\Name" or a device name: the path is resolved through
// the symbolic links, a FILE_OBJECT is created and IRP_MJ_CREATE goes to the top of the device's
// stack. The device's security is checked first against the caller and `desiredAccess`
// (STATUS_ACCESS_DENIED), which is also checked against the access bits of control codes.
NTSTATUS OpenDevice(const char16_t* path, Handle* out, ULONG desiredAccess = GENERIC_READ | GENERIC_WRITE);
// The same for a device object found otherwise (a device node's PDO, as an application opens a
// device through its interface): IRP_MJ_CREATE goes to the top of its stack.
NTSTATUS OpenDeviceObject(PDEVICE_OBJECT device, Handle* out, ULONG desiredAccess = GENERIC_READ | GENERIC_WRITE);

// METHOD_BUFFERED: a system buffer of exactly max(inLen, outLen) bytes from NonPagedPool (none when
// both are 0) with the input copied in; after completion min(Information, outLen) bytes are copied
// back to `out` unless the status is an error. METHOD_NEITHER passes the caller's buffers.
// `information` receives IoStatus.Information (0 for an error status).
NTSTATUS DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLen, void* out, ULONG outLen,
                         ULONG_PTR* information);

// IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once the last reference to the file object goes.
NTSTATUS Close(Handle handle);
// IRP_MJ_CLOSE alone, as Wine closes a handle: no cleanup is sent.
NTSTATUS CloseWithoutCleanup(Handle handle);

// Handles currently open through this interface.
size_t OpenHandleCount();

}  // namespace simk::user
