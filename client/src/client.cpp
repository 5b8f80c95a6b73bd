// The client library: the control device's three requests over DeviceIoControl, with the status
// the driver completed each request with and a message that says what it means for that request.
#include "control_client.h"
#include "device_view.h"
#include "msdscnames.h"

#include <cstdio>
#include <cstring>
#include <new>

// Reported when a request succeeded but handed back less than its record; the simulated kernel's
// headers carry only the statuses the driver itself uses.
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif
#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif
#ifndef STATUS_DEVICE_CONFIGURATION_ERROR
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif

// The header's names for callers carry Windows' values: a wrong digit there would send every
// caller's comparison astray while the library itself still worked.
#define MSDSC_NAMES_WINDOWS_STATUS(name) static_assert(MSDSC_##name == name, "msdscclient.h: " #name)
MSDSC_NAMES_WINDOWS_STATUS(STATUS_SUCCESS);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_OBJECT_NAME_NOT_FOUND);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_OBJECT_PATH_NOT_FOUND);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_NO_SUCH_DEVICE);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_ACCESS_DENIED);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_SHARING_VIOLATION);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_INVALID_DEVICE_STATE);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_INSUFFICIENT_RESOURCES);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_UNSUCCESSFUL);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_FILE_CLOSED);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_INVALID_DEVICE_REQUEST);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_NOT_IMPLEMENTED);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_INVALID_PARAMETER);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_INVALID_HANDLE);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_NO_MEMORY);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_INFO_LENGTH_MISMATCH);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_BUFFER_OVERFLOW);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_IO_TIMEOUT);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_DEVICE_CONFIGURATION_ERROR);
MSDSC_NAMES_WINDOWS_STATUS(STATUS_NOT_FOUND);
#undef MSDSC_NAMES_WINDOWS_STATUS

namespace msdsc {

// Through the global names: a per-session DosDevices entry of that name, which any user of the
// session can create, is never opened instead of the driver's.
const WCHAR* const CONTROL_DEVICE_PATH = MSDSC_WIDE(MSDSC_CONTROL_GLOBAL_PATH);

namespace {

// Before a call: forget the status of an earlier failure, so a failure that never reached the
// kernel cannot be reported with a stale status. ntdll's RtlNtStatusToDosError stores its argument
// as the thread's last status (the value RtlGetLastNtStatus reads), so converting success resets it.
void ForgetLastStatus()
{
#if defined(_WIN32)
    RtlNtStatusToDosError(STATUS_SUCCESS);
#endif
    SetLastError(ERROR_SUCCESS);
}

// After a failed CreateFileW/DeviceIoControl/CloseHandle: the NTSTATUS behind it. Win32 turns the
// driver's status into an error code that loses it (STATUS_INVALID_DEVICE_STATE and
// STATUS_INVALID_DEVICE_REQUEST both read ERROR_BAD_COMMAND); the thread keeps the status itself.
NTSTATUS StatusOfFailure()
{
    const NTSTATUS status = RtlGetLastNtStatus();
    if (!NT_SUCCESS(status))
        return status;
    // The call failed before reaching the kernel; derive what we can from the Win32 error.
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
        return STATUS_ACCESS_DENIED;
    case ERROR_SHARING_VIOLATION:
        return STATUS_SHARING_VIOLATION;
    case ERROR_INVALID_HANDLE:
        return STATUS_INVALID_HANDLE;
    case ERROR_NOT_ENOUGH_MEMORY:
        return STATUS_NO_MEMORY;
    case ERROR_INVALID_PARAMETER:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

#if defined(_WIN32)
// Whether the driver admitted a handle the open returned. Wine's I/O server hands out the handle
// before the driver has answered the open and keeps it when the driver refuses; every request on it
// is then refused as if the handle had been closed on the way. Windows never returns such a handle,
// and there the version request below is answered as usual.
bool Admitted(HANDLE handle)
{
    DriverVersion version{};
    DWORD returned = 0;
    ForgetLastStatus();
    return DeviceIoControl(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, &version, sizeof(version), &returned, nullptr) ||
           StatusOfFailure() != STATUS_FILE_CLOSED;
}

// Why the driver refused an open it cannot tell us about: with a bus device there, another session
// holds the control device (the open the driver refuses then); without one, no bus is there.
NTSTATUS RefusedOpenStatus()
{
    uint32_t buses = 0;
    return NT_SUCCESS(PlatformDeviceView()->CountBuses(&buses)) && buses == 0 ? STATUS_INVALID_DEVICE_STATE
                                                                              : STATUS_SHARING_VIOLATION;
}
#endif

const char* CommonMessage(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return "success";
    case STATUS_INVALID_HANDLE:
        return "the control device is not open";
    case STATUS_FILE_CLOSED:
        return "the control device's handle was closed while the request was on its way";
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_IMPLEMENTED:
        return "the driver does not know this request (a different driver version?)";
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_NO_MEMORY:
        return "the system ran out of memory";
    case STATUS_INFO_LENGTH_MISMATCH:
        return "the driver's reply is shorter than its record";
    case MSDSC_STATUS_STALE_HANDLE:
        return "stale handle: its reader was removed, or closed with its session, or its number names a later reader";
    default:
        return "the request failed with an unexpected status";
    }
}

} // namespace

std::string FormatVersion(const DriverVersion& version)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", version.Elements[3], version.Elements[2], version.Elements[1],
                  version.Elements[0]);
    return text;
}

ControlClient::~ControlClient() { Close(); }

NTSTATUS ControlClient::Record(MsdscOperation operation, NTSTATUS status)
{
    if (!NT_SUCCESS(status)) {
        m_LastOperation = operation;
        m_LastStatus = status;
    }
    return status;
}

NTSTATUS ControlClient::Open()
{
    if (IsOpen())
        return Record(MsdscOperationOpen, STATUS_SHARING_VIOLATION);
    ForgetLastStatus();
    // The driver admits one handle, and only one opened for reading and writing. Identification
    // only: whatever answers the name may learn who the caller is, never act as the caller.
    HANDLE handle = CreateFileW(CONTROL_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
        return Record(MsdscOperationOpen, StatusOfFailure());
#if defined(_WIN32)
    if (!Admitted(handle)) {
        CloseHandle(handle);
        return Record(MsdscOperationOpen, RefusedOpenStatus());
    }
#endif
    HANDLE expected = nullptr;
    if (!m_Handle.compare_exchange_strong(expected, handle)) {
        // Another thread of this process opened at the same time and won; the driver refused ours
        // already (one handle), but keep the object's single handle either way.
        CloseHandle(handle);
        return Record(MsdscOperationOpen, STATUS_SHARING_VIOLATION);
    }
    return STATUS_SUCCESS;
}

// The table names the client's operation by number; these hold the numbers to msdscclient.h's.
static_assert(FindControlRequest(IOCTL_BUS_GET_VERSION)->ClientOperation == MsdscOperationGetVersion, "version");
static_assert(FindControlRequest(IOCTL_BUS_ADD_READER)->ClientOperation == MsdscOperationAddReader, "add");
static_assert(FindControlRequest(IOCTL_BUS_REMOVE_READER)->ClientOperation == MsdscOperationRemoveReader, "remove");
static_assert(FindControlRequest(IOCTL_BUS_REBALANCE_READER)->ClientOperation == MsdscOperationRebalanceReader,
              "rebalance");
static_assert(FindControlRequest(IOCTL_BUS_FAIL_READER)->ClientOperation == MsdscOperationFailReader, "fail");

NTSTATUS ControlClient::Control(ULONG code, void* in, void* out)
{
    const ControlRequest& row = *FindControlRequest(code);
    const MsdscOperation operation = static_cast<MsdscOperation>(row.ClientOperation);
    const ULONG inLength = row.InputSize;
    const ULONG outLength = row.OutputSize;
    const ULONG expectedReply = row.OutputSize;
    HANDLE handle = m_Handle.load();
    if (!handle)
        return Record(operation, STATUS_INVALID_HANDLE);
    DWORD returned = 0;
    ForgetLastStatus();
    if (!DeviceIoControl(handle, code, in, inLength, out, outLength, &returned, nullptr))
        return Record(operation, StatusOfFailure());
    if (returned < expectedReply)
        return Record(operation, STATUS_INFO_LENGTH_MISMATCH);
    return STATUS_SUCCESS;
}

NTSTATUS ControlClient::GetVersion(DriverVersion* version)
{
    DriverVersion reply{};
    const NTSTATUS status = Control(IOCTL_BUS_GET_VERSION, nullptr, &reply);
    if (NT_SUCCESS(status))
        *version = reply;
    return status;
}

NTSTATUS ControlClient::AddReader(const ReaderConfig& config, BusReaderHandle* handle)
{
    // One buffer for both directions, as METHOD_BUFFERED hands the driver one system buffer
    // anyway: the configuration goes in, the handle comes back over it.
    union {
        ReaderConfig config;
        BusReaderHandle handle;
    } buffer{};
    buffer.config = config;
    const NTSTATUS status = Control(IOCTL_BUS_ADD_READER, &buffer, &buffer);
    if (NT_SUCCESS(status))
        *handle = buffer.handle;
    return status;
}

NTSTATUS ControlClient::RemoveReader(const BusReaderHandle& handle)
{
    BusReaderHandle copy = handle;
    return Control(IOCTL_BUS_REMOVE_READER, &copy, nullptr);
}

NTSTATUS ControlClient::Close()
{
    HANDLE handle = m_Handle.exchange(nullptr);
    if (!handle)
        return Record(MsdscOperationClose, STATUS_INVALID_HANDLE);
    ForgetLastStatus();
    if (!CloseHandle(handle))
        return Record(MsdscOperationClose, StatusOfFailure());
    return STATUS_SUCCESS;
}

} // namespace msdsc

// ---- Messages ------------------------------------------------------------------------------------

extern "C" MSDSC_API const char* MSDSC_CALL MsdscStatusMessage(MsdscOperation operation, MsdscStatus status)
{
    switch (operation) {
    case MsdscOperationOpen:
        switch (status) {
        case STATUS_INVALID_DEVICE_STATE:
            return "no bus device is installed";
        // The control device admits only the system and administrators: the I/O manager refuses
        // anyone else before the driver hears of the open.
        case STATUS_ACCESS_DENIED:
            return "access denied: only an administrator (an elevated prompt) may use the control device";
        case STATUS_SHARING_VIOLATION:
            return "another session holds the control device: close it first";
        case STATUS_OBJECT_NAME_NOT_FOUND:
        case STATUS_OBJECT_PATH_NOT_FOUND:
        case STATUS_NO_SUCH_DEVICE:
            return "the driver is not loaded: there is no control device";
        }
        break;
    case MsdscOperationGetVersion:
        switch (status) {
        case STATUS_INVALID_DEVICE_STATE:
            return "no bus device is installed";
        case STATUS_INVALID_PARAMETER:
            return "the driver refused the reply buffer";
        case STATUS_UNSUCCESSFUL:
            return "the driver could not read its own version";
        }
        break;
    case MsdscOperationAddReader:
        switch (status) {
        // The driver tries every bus before it gives up: none is started (added but not yet
        // started, stopped, or pulled), or the last one was removed.
        case STATUS_INVALID_DEVICE_STATE:
            return "no bus device is installed, or the buses are not started";
        case STATUS_UNSUCCESSFUL:
            return "no bus device is registered";
        case STATUS_INVALID_PARAMETER:
            return "the driver refused the request's buffers";
        // Also a shortage of pool; the cap is by far the likelier.
        case STATUS_INSUFFICIENT_RESOURCES:
            return "the driver holds its most readers (256, counting removed ones Plug and Play has not yet "
                   "let go), or the system ran out of memory: remove a reader first";
        }
        break;
    case MsdscOperationRemoveReader:
        switch (status) {
        case STATUS_UNSUCCESSFUL:
            return "no such reader: the handle names no reader of an installed bus (removed already, or from an "
                   "earlier session?)";
        case STATUS_INVALID_PARAMETER:
            return "the driver refused the request's buffer";
        }
        break;
    case MsdscOperationRebalanceReader:
    case MsdscOperationFailReader:
        switch (status) {
        case STATUS_UNSUCCESSFUL:
            return "no such reader: the handle names no reader of this session (removed already, or from an "
                   "earlier session?)";
        case STATUS_INVALID_DEVICE_STATE:
            return "the reader is not started: Plug and Play was not asked";
        case STATUS_INVALID_PARAMETER:
            return "the driver refused the request's buffer";
        }
        break;
    case MsdscOperationClose:
        break;
    case MsdscOperationListDevices:
        switch (status) {
        case STATUS_BUFFER_OVERFLOW:
            return "more readers than the buffer holds: the count says how many there are";
        case STATUS_UNSUCCESSFUL:
            return "Plug and Play's device list could not be read";
        }
        break;
    case MsdscOperationReadConfiguration:
        switch (status) {
        case STATUS_NOT_FOUND:
            return "no started reader of that number has the sample reader driver over it";
        case STATUS_UNSUCCESSFUL:
            return "the sample's device interfaces could not be listed";
        }
        break;
    case MsdscOperationWaitForDevice:
        switch (status) {
        case STATUS_IO_TIMEOUT:
            return "timed out: the reader's device node did not reach that state in time";
        case STATUS_DEVICE_CONFIGURATION_ERROR:
            return "the reader's device node has a problem that waiting does not end (see its problem code)";
        case STATUS_UNSUCCESSFUL:
            return "Plug and Play's device list could not be read";
        }
        break;
    }
    return msdsc::CommonMessage(status);
}
