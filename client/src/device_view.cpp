// What both device views share: reading a reader number out of an instance path, and the wait.
#include "device_view.h"
#include "msdscnames.h"
#include "problem_advice.h"

#if !defined(_WIN32)
#include <thread>
#endif

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif

namespace msdsc {

const char* const READER_HARDWARE_ID_TEXT = MSDSC_READER_HARDWARE_ID;
const char* const BUS_HARDWARE_ID_TEXT = MSDSC_BUS_HARDWARE_ID;

namespace {
// Plug and Play starts a reader within milliseconds of its enumeration; a person waiting notices
// nothing below a tenth of a second, and the view costs one device-list walk per poll.
constexpr std::chrono::milliseconds POLL_INTERVAL{20};
} // namespace

// Problems that stay until someone acts (installs or signs a driver, enables the device, fixes the
// function driver) end a wait at once: the test gets the cause now instead of a timeout later.
// Windows sets 1 and 18 for a moment while it installs the driver for a new node, so those are
// waited for.
const char* FinalProblemMessage(uint32_t problem)
{
    switch (problem) {
    case PROBLEM_FAILED_INSTALL:
    case PROBLEM_FAILED_ADD:
    case PROBLEM_FAILED_START:
    case PROBLEM_DRIVER_FAILED_LOAD:
    case PROBLEM_UNSIGNED_DRIVER:
    case PROBLEM_DISABLED:
        return AdviceForProblem(MsdscDeviceReader, problem).text;
    default:
        return nullptr;
    }
}

bool ReaderNumberOfHandle(const BusReaderHandle& handle, uint32_t* number)
{
    const uint32_t value = MsdscReaderHandleNumber(handle.ReaderHandle);
    if (!IsWithinReaderCap(value))
        return false;
    *number = value;
    return true;
}

bool ReaderNumberFromInstancePath(const std::string& instancePath, uint32_t* number)
{
    const size_t separator = instancePath.find_last_of("\\&");
    const std::string digits = separator == std::string::npos ? instancePath : instancePath.substr(separator + 1);
    if (digits.empty() || digits.size() > 10)
        return false;
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return false;
    *number = static_cast<uint32_t>(value);
    return true;
}

NTSTATUS WaitForReader(DeviceView& view, uint32_t number, MsdscWaitFor what, std::chrono::milliseconds timeout,
                       ReaderDevice* last)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<ReaderDevice> readers;
        const NTSTATUS status = view.List(&readers);
        if (!NT_SUCCESS(status))
            return status;
        // A reader number may have a present node and absent ones (an earlier load's reader under
        // another parent prefix); the present one is the reader.
        ReaderDevice seen;
        seen.number = number;
        bool found = false;
        for (const ReaderDevice& reader : readers)
            if (reader.number == number && (!found || (reader.present && !seen.present))) {
                seen = reader;
                found = true;
            }
        *last = seen;
        const bool reached = what == MsdscWaitForStarted ? seen.present && seen.started : !seen.present;
        if (reached)
            return STATUS_SUCCESS;
        if (what == MsdscWaitForStarted && seen.present && FinalProblemMessage(seen.problem))
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        if (std::chrono::steady_clock::now() >= deadline)
            return STATUS_IO_TIMEOUT;
#if defined(_WIN32)
        // The target build's compiler (win32 thread model) would take sleep_for to its own run time.
        Sleep(static_cast<DWORD>(POLL_INTERVAL.count()));
#else
        std::this_thread::sleep_for(POLL_INTERVAL);
#endif
    }
}

} // namespace msdsc
