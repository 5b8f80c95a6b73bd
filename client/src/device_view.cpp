// What both device views share: reading a reader number out of an instance path, and the wait.
#include "device_view.h"
#include "msdscnames.h"

#if !defined(_WIN32)
#include <thread>
#endif

#ifndef STATUS_IO_TIMEOUT
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#endif

namespace msdsc {

const char* const READER_HARDWARE_ID_TEXT = MSDSC_READER_HARDWARE_ID;

namespace {
// Plug and Play starts a reader within milliseconds of its enumeration; a person waiting notices
// nothing below a tenth of a second, and the view costs one device-list walk per poll.
constexpr std::chrono::milliseconds POLL_INTERVAL{20};
}  // namespace

bool ReaderNumberFromInstancePath(const std::string& instancePath, uint32_t* number) {
    const size_t separator = instancePath.find_last_of("\\&");
    const std::string digits = separator == std::string::npos ? instancePath : instancePath.substr(separator + 1);
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return false;
    *number = static_cast<uint32_t>(value);
    return true;
}

NTSTATUS WaitForReader(DeviceView& view, uint32_t number, MsdscWaitFor what, std::chrono::milliseconds timeout,
                       ReaderDevice* last) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<ReaderDevice> readers;
        const NTSTATUS status = view.List(&readers);
        if (!NT_SUCCESS(status)) return status;
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
        if (reached) return STATUS_SUCCESS;
        if (std::chrono::steady_clock::now() >= deadline) return STATUS_IO_TIMEOUT;
#if defined(_WIN32)
        // The target build's compiler (win32 thread model) would take sleep_for to its own run time.
        Sleep(static_cast<DWORD>(POLL_INTERVAL.count()));
#else
        std::this_thread::sleep_for(POLL_INTERVAL);
#endif
    }
}

}  // namespace msdsc
