// The library's C++ core: one session with the driver's control device over DeviceIoControl, with
// the driver's own records. The C surface (msdscclient.h) is built on it; the library's tests and
// the benchmarks use it directly.
#pragma once

#include <atomic>
#include <string>

#include "msdscclient.h"
#include "msdscclient_platform.h"

namespace msdsc {

// The control device's Win32 name.
extern const WCHAR* const CONTROL_DEVICE_PATH;

// "1.2.0.134": the record keeps the components last first.
std::string FormatVersion(const DriverVersion& version);

// One session with the driver. Readers live as long as the handle, so the object holds the handle
// until Close or destruction. Close may be called from another thread (a console's Ctrl+C handler)
// while requests run: the handle is taken exactly once.
class ControlClient
{
public:
    ControlClient() = default;
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    NTSTATUS Open();
    NTSTATUS GetVersion(DriverVersion* version);
    NTSTATUS AddReader(const ReaderConfig& config, BusReaderHandle* handle);
    NTSTATUS RemoveReader(const BusReaderHandle& handle);
    // STATUS_INVALID_HANDLE when nothing is open.
    NTSTATUS Close();
    bool IsOpen() const { return m_Handle.load() != nullptr; }

    // The status and the message of the last call that failed; STATUS_SUCCESS when none has.
    NTSTATUS LastStatus() const { return m_LastStatus; }
    MsdscOperation LastOperation() const { return m_LastOperation; }
    const char* LastMessage() const { return MsdscStatusMessage(m_LastOperation, m_LastStatus); }

private:
    // Sends the request of that code with its records' sizes, and names failures by its operation,
    // both from its row of CONTROL_REQUESTS; a success hands back the whole reply.
    NTSTATUS Control(ULONG code, void* in, void* out);
    NTSTATUS Record(MsdscOperation operation, NTSTATUS status);

    // Null while closed; INVALID_HANDLE_VALUE is never stored.
    std::atomic<HANDLE> m_Handle{nullptr};
    NTSTATUS m_LastStatus = 0;
    MsdscOperation m_LastOperation = MsdscOperationOpen;
};

} // namespace msdsc
