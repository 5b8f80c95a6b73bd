// The user-mode side of the simulated I/O manager: open a device through its symbolic link, send it
// control requests, close it. Requests are delivered at PASSIVE_LEVEL on the calling thread.
#pragma once

#include <string>

#include "simkernel/basetypes.h"

namespace simk::user {

using Handle = void*;

// Who opens: the access check of an open weighs the device's security against this caller's
// groups. An administrator runs elevated; a plain user (or an administrator's filtered token) has
// no enabled Administrators group. A backup operator is a plain user in Backup Operators. The
// system, an administrator and a backup operator hold the backup and restore privileges, taken as
// enabled (a backup program enables them before it opens). Administrator until set, and again
// after a kernel reset.
enum class Caller { System, Administrator, User, BackupOperator };
void SetCaller(Caller caller);
Caller CurrentCaller();

// Sets the caller for a scope and restores the earlier one.
class ActingAs
{
public:
    explicit ActingAs(Caller caller) : m_Earlier(CurrentCaller()) { SetCaller(caller); }
    ~ActingAs() { SetCaller(m_Earlier); }
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

private:
    Caller m_Earlier;
};

// What NtCreateFile takes besides the path; the defaults are CreateFile's OPEN_EXISTING for read and
// write.
struct OpenRequest {
    ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE;
    ULONG disposition = 1;          // FILE_OPEN (the kernel headers need not be included here)
    ULONG createOptions = 0x60;     // FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT
    const void* eaBuffer = nullptr; // FILE_FULL_EA_INFORMATION entries
    ULONG eaLength = 0;
    Handle related = nullptr; // the path is then relative to this handle's file (it may be empty)
    // As Wine 8.0 sends the create: no security context at all (so no access state), and the
    // create options alone, without the disposition in the top byte.
    bool asWine = false;
    // CreateFile's SECURITY_SQOS_PRESENT and impersonation level bits (0: none given), which say
    // how far the opened side may impersonate the caller.
    ULONG securityQos = 0;
    USHORT shareAccess = 0; // FILE_SHARE_* (CreateFile's dwShareMode)
};

// The last open made through this interface, refused or not: the path as given and its request.
struct OpenRecord {
    std::u16string path;
    OpenRequest request;
};
OpenRecord LastOpen();

// Opens "\\.\Name", "\DosDevices\Name", "\??\Name", "\??\Global\Name" or a device name, with
// anything after the name handed to the driver as the file object's name. The device's security is
// checked first against the caller and the desired access (STATUS_ACCESS_DENIED); the handle has
// the rights granted, which control codes' access bits are checked against. The driver's
// IRP_MJ_CREATE carries the access state with what was granted, the disposition and options, the
// EA buffer and the related file object.
NTSTATUS Open(const char16_t* path, const OpenRequest& request, Handle* out);
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

// The rights a handle was granted at its open; 0 for no such handle.
ACCESS_MASK GrantedAccess(Handle handle);

} // namespace simk::user
