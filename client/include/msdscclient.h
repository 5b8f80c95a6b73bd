// The client library of the bus driver: open its control device, read the driver version, add and
// remove readers, close. A C surface for any caller, and a C++ class over the driver's own records.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What failed, so a message can say what a status means for that request: the same status means
// "no bus device is installed" at open and "the chosen bus is not started" when adding a reader.
typedef enum MsdscOperation {
    MsdscOperationOpen = 0,
    MsdscOperationGetVersion = 1,
    MsdscOperationAddReader = 2,
    MsdscOperationRemoveReader = 3,
    MsdscOperationClose = 4
} MsdscOperation;

// Every call returns the NTSTATUS the driver (or the I/O manager in front of it) completed the
// request with; 0 is success. A call on a client that is not open returns STATUS_INVALID_HANDLE.
typedef int32_t MsdscStatus;

typedef struct MsdscClient MsdscClient;

// A human-readable text for a status of an operation; never null, static storage.
const char* MsdscStatusMessage(MsdscOperation operation, MsdscStatus status);

// Opens the control device. On success *client is a new client; on failure it is null.
MsdscStatus MsdscOpen(MsdscClient** client);
// Four components of the driver version, most significant first ("1.2.0.134" gives 1, 2, 0, 134).
MsdscStatus MsdscGetVersion(MsdscClient* client, uint16_t components[4]);
// Adds a reader; on success the two opaque handle values that name it are written.
MsdscStatus MsdscAddReader(MsdscClient* client, uint32_t number, uint32_t drive, uint32_t log,
                           uint64_t* busHandle, uint64_t* readerHandle);
MsdscStatus MsdscRemoveReader(MsdscClient* client, uint64_t busHandle, uint64_t readerHandle);
// Closes the handle, which removes every reader, and frees the client (also when closing failed).
MsdscStatus MsdscClose(MsdscClient* client);

#ifdef __cplusplus
}  // extern "C"

#include <atomic>
#include <string>

#include "msdscclient_platform.h"

namespace msdsc {

// The control device's Win32 name.
extern const WCHAR* const CONTROL_DEVICE_PATH;

// "1.2.0.134": the record keeps the components last first.
std::string FormatVersion(const DriverVersion& version);

// One session with the driver. Readers live as long as the handle, so the object holds the handle
// until Close or destruction. Close may be called from another thread (a console's Ctrl+C handler)
// while requests run: the handle is taken exactly once.
class ControlClient {
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
    NTSTATUS Control(MsdscOperation operation, ULONG code, void* in, ULONG inLength, void* out,
                     ULONG outLength, ULONG expectedReply);
    NTSTATUS Record(MsdscOperation operation, NTSTATUS status);

    // Null while closed; INVALID_HANDLE_VALUE is never stored.
    std::atomic<HANDLE> m_Handle{nullptr};
    NTSTATUS m_LastStatus = 0;
    MsdscOperation m_LastOperation = MsdscOperationOpen;
};

}  // namespace msdsc
#endif
