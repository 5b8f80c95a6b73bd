// Win32-shaped client functions over the user-mode side of the I/O manager, with the NTSTATUS to
// Win32 error mapping and the per-thread last error that client code reads.
#include <string>

#include "internal.h"
#include "simkernel/user.h"
#include "simkernel/win32.h"

namespace {

thread_local DWORD t_LastError = 0;
thread_local NTSTATUS t_LastStatus = 0;

BOOL Fail(NTSTATUS status)
{
    t_LastStatus = status;
    t_LastError = RtlNtStatusToDosError(status);
    return FALSE;
}

} // namespace

ULONG RtlNtStatusToDosError(NTSTATUS Status)
{
    struct Mapping {
        NTSTATUS status;
        ULONG error;
    };
    static const Mapping table[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_DEVICE_BUSY, 170 /* ERROR_BUSY */},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_ACCESS_VIOLATION, 998 /* ERROR_NOACCESS */},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_OBJECT_PATH_SYNTAX_BAD, 161 /* ERROR_BAD_PATHNAME */},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_EAS_NOT_SUPPORTED, 282 /* ERROR_EAS_NOT_SUPPORTED */},
        {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
        {STATUS_PROCEDURE_NOT_FOUND, 127 /* ERROR_PROC_NOT_FOUND */},
        {STATUS_INVALID_IMAGE_FORMAT, 193 /* ERROR_BAD_EXE_FORMAT */},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_READY, 21 /* ERROR_NOT_READY */},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_INVALID_PARAMETER_1, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_PARAMETER_2, ERROR_INVALID_PARAMETER},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_NOT_FOUND, 1168 /* ERROR_NOT_FOUND */},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    };
    for (const auto& m : table) {
        if (m.status == Status)
            return m.error;
    }
    return ERROR_MR_MID_NOT_FOUND;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (!lpFileName) {
        Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // CreateFile's dispositions as NtCreateFile's.
    static const ULONG dispositions[] = {0, FILE_CREATE, FILE_OVERWRITE_IF, FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE};
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        Fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path(reinterpret_cast<const char16_t*>(lpFileName));
    simk::user::OpenRequest request;
    // As kernelbase does: every open also asks to wait on the handle and to read attributes, so
    // even an open for no access passes the device's access check only if the DACL allows those.
    request.desiredAccess = dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    request.disposition = dispositions[dwCreationDisposition];
    request.shareAccess = static_cast<USHORT>(dwShareMode);
    if (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)
        request.createOptions |= FILE_OPEN_FOR_BACKUP_INTENT;
    if (dwFlagsAndAttributes & SECURITY_SQOS_PRESENT) {
        request.securityQos = dwFlagsAndAttributes & (SECURITY_SQOS_PRESENT | 0x000F0000);
    }
    simk::user::Handle handle = nullptr;
    NTSTATUS status = simk::user::Open(path.c_str(), request, &handle);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    t_LastError = ERROR_SUCCESS;
    return handle;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped; // requests complete before the call returns
    ULONG_PTR information = 0;
    NTSTATUS status = simk::user::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                                  nOutBufferSize, &information);
    // As kernel32 does: the byte count is reported for success and warning statuses alike.
    if (lpBytesReturned && !NT_ERROR(status))
        *lpBytesReturned = (DWORD)information;
    if (!NT_SUCCESS(status))
        return Fail(status);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    NTSTATUS status = simk::user::Close(hObject);
    if (!NT_SUCCESS(status))
        return Fail(status);
    return TRUE;
}

DWORD GetLastError(void) { return t_LastError; }

void SetLastError(DWORD dwErrCode) { t_LastError = dwErrCode; }

NTSTATUS RtlGetLastNtStatus(void) { return t_LastStatus; }
