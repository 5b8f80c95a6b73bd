// The library's C surface (msdscclient.h): the functions msdscclient.dll exports, over the C++ core
// and the platform's device view.
#include <atomic>
#include <cstring>
#include <new>

#include "control_client.h"
#include "device_view.h"
#include "handle_record.h"
#include "problem_advice.h"

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif

struct MsdscClient {
    msdsc::ControlClient client;
    // The owner's reference and one per call running: a Close from another thread frees the client
    // only once the calls in flight are out of it.
    std::atomic<long> references{1};
};

namespace {

void Release(MsdscClient* client)
{
    if (client->references.fetch_sub(1) == 1)
        delete client;
}

class CallReference
{
public:
    explicit CallReference(MsdscClient* client) : m_Client(client) { m_Client->references.fetch_add(1); }
    ~CallReference() { Release(m_Client); }
    CallReference(const CallReference&) = delete;
    CallReference& operator=(const CallReference&) = delete;

private:
    MsdscClient* m_Client;
};

MsdscStatus Answer(MsdscOperation operation, NTSTATUS status, const char** message)
{
    if (message)
        *message = MsdscStatusMessage(operation, status);
    return status;
}

// A caller's mistake the library catches before anything is sent.
MsdscStatus Refuse(NTSTATUS status, const char* text, const char** message)
{
    if (message)
        *message = text;
    return status;
}

const char NO_CLIENT[] = "no client: the client pointer is NULL";

void CopyOut(const msdsc::ReaderDevice& reader, MsdscReaderDevice* device)
{
    std::memset(device, 0, sizeof(*device));
    device->readerNumber = reader.number;
    device->present = reader.present ? 1 : 0;
    device->started = reader.started ? 1 : 0;
    device->problem = reader.problem;
    device->stateReported = reader.stateReported ? 1 : 0;
    std::strncpy(device->instancePath, reader.instancePath.c_str(), MSDSC_INSTANCE_PATH_SIZE - 1);
    std::strncpy(device->driver, reader.driver.c_str(), MSDSC_DRIVER_NAME_SIZE - 1);
}

} // namespace

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscOpen(MsdscClient** client, const char** message)
{
    if (!client)
        return Refuse(STATUS_INVALID_PARAMETER, "no place for the client: the pointer is NULL", message);
    *client = nullptr;
    auto* created = new (std::nothrow) MsdscClient;
    if (!created)
        return Answer(MsdscOperationOpen, STATUS_NO_MEMORY, message);
    const NTSTATUS status = created->client.Open();
    if (!NT_SUCCESS(status)) {
        Release(created);
        return Answer(MsdscOperationOpen, status, message);
    }
    *client = created;
    return Answer(MsdscOperationOpen, STATUS_SUCCESS, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscGetVersion(MsdscClient* client, uint16_t components[4],
                                                            const char** message)
{
    if (!client)
        return Refuse(STATUS_INVALID_HANDLE, NO_CLIENT, message);
    if (!components)
        return Refuse(STATUS_INVALID_PARAMETER, "no place for the version: the pointer is NULL", message);
    CallReference hold(client);
    DriverVersion version{};
    const NTSTATUS status = client->client.GetVersion(&version);
    if (NT_SUCCESS(status))
        for (int i = 0; i < 4; ++i)
            components[i] = version.Elements[3 - i];
    return Answer(MsdscOperationGetVersion, status, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscAddReader(MsdscClient* client, uint32_t number, uint32_t drive,
                                                           uint32_t log, MsdscReaderHandle* handle,
                                                           const char** message)
{
    if (!client)
        return Refuse(STATUS_INVALID_HANDLE, NO_CLIENT, message);
    if (!handle)
        return Refuse(STATUS_INVALID_PARAMETER, "no place for the reader's handle: the pointer is NULL", message);
    CallReference hold(client);
    static_assert(sizeof(BusReaderHandle) == sizeof(MsdscReaderHandle), "the handle is the driver's record, as bytes");
    BusReaderHandle reply{};
    const NTSTATUS status = client->client.AddReader(ReaderConfig{number, drive, log}, &reply);
    if (NT_SUCCESS(status)) {
        std::memcpy(handle->bytes, &reply, sizeof(reply));
        msdsc::handles::Issued(client, *handle);
    }
    return Answer(MsdscOperationAddReader, status, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscRemoveReader(MsdscClient* client, const MsdscReaderHandle* handle,
                                                              const char** message)
{
    if (!client)
        return Refuse(STATUS_INVALID_HANDLE, NO_CLIENT, message);
    if (!handle)
        return Refuse(STATUS_INVALID_PARAMETER, "no reader's handle: the pointer is NULL", message);
    CallReference hold(client);
    BusReaderHandle record;
    std::memcpy(&record, handle->bytes, sizeof(record));
    const NTSTATUS status = client->client.RemoveReader(record);
    if (NT_SUCCESS(status))
        msdsc::handles::Removed(*handle);
    return Answer(MsdscOperationRemoveReader, status, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscClose(MsdscClient* client, const char** message)
{
    if (!client)
        return Refuse(STATUS_INVALID_HANDLE, NO_CLIENT, message);
    const NTSTATUS status = client->client.Close();
    // Stale also when the close failed: the client is gone either way, and its readers with the handle.
    msdsc::handles::SessionClosed(client);
    Release(client);
    return Answer(MsdscOperationClose, status, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscListReaderDevices(MsdscReaderDevice* devices, uint32_t capacity,
                                                                   uint32_t* count, const char** message)
{
    if (!count || (capacity && !devices))
        return Refuse(STATUS_INVALID_PARAMETER, "no place for the readers or their count: a pointer is NULL", message);
    std::vector<msdsc::ReaderDevice> readers;
    const NTSTATUS status = msdsc::PlatformDeviceView()->List(&readers);
    if (!NT_SUCCESS(status))
        return Answer(MsdscOperationListDevices, status, message);
    *count = static_cast<uint32_t>(readers.size());
    for (uint32_t i = 0; i < capacity && i < readers.size(); ++i)
        CopyOut(readers[i], &devices[i]);
    return Answer(MsdscOperationListDevices, readers.size() > capacity ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS,
                  message);
}

namespace {

const char NOT_A_READER_HANDLE[] = "the handle's reader half holds no reader number: not a handle the driver gave";
const char STALE_HANDLE[] = "stale handle: its reader was removed, or closed with its session, or its number names "
                            "a later reader";

// A stale handle's answer: its reader number, and nothing of the reader that holds the number now.
MsdscStatus Stale(uint32_t number, MsdscReaderDevice* device, const char** message)
{
    if (device) {
        msdsc::ReaderDevice none;
        none.number = number;
        CopyOut(none, device);
    }
    return Refuse(MSDSC_STATUS_STALE_HANDLE, STALE_HANDLE, message);
}

// The wait both waits share; a problem that ended it is told by its own advice.
MsdscStatus Wait(uint32_t readerNumber, MsdscWaitFor what, uint32_t timeoutMs, MsdscReaderDevice* device,
                 const char** message)
{
    msdsc::ReaderDevice last;
    const NTSTATUS status = msdsc::WaitForReader(*msdsc::PlatformDeviceView(), readerNumber, what,
                                                 std::chrono::milliseconds(timeoutMs), &last);
    if (device)
        CopyOut(last, device);
    if (status == STATUS_DEVICE_CONFIGURATION_ERROR)
        return Refuse(status, msdsc::FinalProblemMessage(last.problem), message);
    return Answer(MsdscOperationWaitForDevice, status, message);
}

} // namespace

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscReaderNumberOfHandle(const MsdscReaderHandle* handle,
                                                                      uint32_t* readerNumber, const char** message)
{
    if (!handle || !readerNumber)
        return Refuse(STATUS_INVALID_PARAMETER, "no handle or no place for the number: a pointer is NULL", message);
    BusReaderHandle record;
    std::memcpy(&record, handle->bytes, sizeof(record));
    if (!msdsc::ReaderNumberOfHandle(record, readerNumber))
        return Refuse(STATUS_INVALID_PARAMETER, NOT_A_READER_HANDLE, message);
    return Answer(MsdscOperationWaitForDevice, STATUS_SUCCESS, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscWaitForReader(const MsdscReaderHandle* handle, MsdscWaitFor what,
                                                               uint32_t timeoutMs, MsdscReaderDevice* device,
                                                               const char** message)
{
    if (!handle)
        return Refuse(STATUS_INVALID_PARAMETER, "no reader's handle: the pointer is NULL", message);
    if (what != MsdscWaitForStarted && what != MsdscWaitForGone)
        return Refuse(STATUS_INVALID_PARAMETER, "what to wait for is neither started nor gone", message);
    BusReaderHandle record;
    std::memcpy(&record, handle->bytes, sizeof(record));
    uint32_t number = 0;
    if (!msdsc::ReaderNumberOfHandle(record, &number))
        return Refuse(STATUS_INVALID_PARAMETER, NOT_A_READER_HANDLE, message);
    if (msdsc::handles::IsStale(*handle))
        return Stale(number, device, message);
    return Wait(number, what, timeoutMs, device, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscGetReaderDevice(const MsdscReaderHandle* handle,
                                                                 MsdscReaderDevice* device, const char** message)
{
    if (!handle || !device)
        return Refuse(STATUS_INVALID_PARAMETER, "no handle or no place for the device: a pointer is NULL", message);
    BusReaderHandle record;
    std::memcpy(&record, handle->bytes, sizeof(record));
    uint32_t number = 0;
    if (!msdsc::ReaderNumberOfHandle(record, &number))
        return Refuse(STATUS_INVALID_PARAMETER, NOT_A_READER_HANDLE, message);
    if (msdsc::handles::IsStale(*handle))
        return Stale(number, device, message);
    std::vector<msdsc::ReaderDevice> readers;
    const NTSTATUS status = msdsc::PlatformDeviceView()->List(&readers);
    if (!NT_SUCCESS(status))
        return Answer(MsdscOperationListDevices, status, message);
    const msdsc::ReaderDevice* seen = nullptr;
    for (const msdsc::ReaderDevice& reader : readers)
        if (reader.number == number && (!seen || (reader.present && !seen->present)))
            seen = &reader;
    if (!seen) {
        msdsc::ReaderDevice none;
        none.number = number;
        CopyOut(none, device);
        return Refuse(STATUS_NOT_FOUND, "no device node has the handle's reader number", message);
    }
    CopyOut(*seen, device);
    return Answer(MsdscOperationListDevices, STATUS_SUCCESS, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscAddReaderAndWait(MsdscClient* client, uint32_t number, uint32_t drive,
                                                                  uint32_t log, uint32_t timeoutMs,
                                                                  MsdscReaderHandle* handle, MsdscReaderDevice* device,
                                                                  const char** message)
{
    if (!handle)
        return MsdscAddReader(client, number, drive, log, nullptr, message);
    MsdscReaderHandle added;
    const MsdscStatus status = MsdscAddReader(client, number, drive, log, &added, message);
    if (status < 0)
        return status;
    *handle = added;
    return MsdscWaitForReader(&added, MsdscWaitForStarted, timeoutMs, device, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscCountBusDevices(uint32_t* count, const char** message)
{
    if (!count)
        return Refuse(STATUS_INVALID_PARAMETER, "no place for the count: the pointer is NULL", message);
    return Answer(MsdscOperationListDevices, msdsc::PlatformDeviceView()->CountBuses(count), message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscWaitForReaderDevice(uint32_t readerNumber, MsdscWaitFor what,
                                                                     uint32_t timeoutMs, MsdscReaderDevice* device,
                                                                     const char** message)
{
    if (what != MsdscWaitForStarted && what != MsdscWaitForGone)
        return Refuse(STATUS_INVALID_PARAMETER, "what to wait for is neither started nor gone", message);
    return Wait(readerNumber, what, timeoutMs, device, message);
}

extern "C" MSDSC_API MsdscStatus MSDSC_CALL MsdscReadReaderConfiguration(uint32_t readerNumber,
                                                                         MsdscReaderConfiguration* configuration,
                                                                         const char** message)
{
    if (!configuration)
        return Refuse(STATUS_INVALID_PARAMETER, "no place for the configuration: the pointer is NULL", message);
    SampleConfiguration read{};
    const NTSTATUS status = msdsc::PlatformDeviceView()->ReadConfiguration(readerNumber, &read);
    if (NT_SUCCESS(status)) {
        configuration->number = read.Number;
        configuration->drive = read.Drive;
        configuration->log = read.Log;
        configuration->exists = read.Exists;
        for (int i = 0; i < 4; ++i)
            configuration->driverVersion[i] = read.SampleVersion.Elements[3 - i];
    }
    return Answer(MsdscOperationReadConfiguration, status, message);
}

extern "C" MSDSC_API const char* MSDSC_CALL MsdscProblemAdvice(MsdscDeviceKind kind, uint32_t problem,
                                                               uint32_t* waitHelps)
{
    const msdsc::ProblemAdvice advice = msdsc::AdviceForProblem(kind, problem);
    if (waitHelps)
        *waitHelps = advice.waitHelps ? 1 : 0;
    return advice.text;
}
