// The device view: the readers as Plug and Play sees them, one interface with two implementations,
// cfgmgr32/SetupAPI on Windows (device_view_windows.cpp) and the simulated Plug and Play manager in
// the host build (device_view_host.cpp). Readers are found by their hardware ID and their reader
// number, never by a fixed instance path: Windows may put a prefix of the parent's into the path.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "msdscclient.h"
#include "msdscclient_platform.h"
#include "msdscsample.h"

namespace msdsc {

// The reader's hardware ID (also its device ID), as the reader reports it.
extern const char* const READER_HARDWARE_ID_TEXT;

struct ReaderDevice {
    uint32_t number = 0;
    std::string instancePath;
    bool present = false;
    bool started = false;
    uint32_t problem = 0; // CM_PROB_*
    std::string driver;   // the service of its function driver; empty when none is installed
    // False where Plug and Play reports no node state (Wine): the fields above then hold only what
    // is known another way (MsdscReaderDevice.stateReported).
    bool stateReported = true;
};

// Windows' problem codes the view reports or the wait acts on (cfg.h's CM_PROB_ values).
enum : uint32_t {
    PROBLEM_NOT_CONFIGURED = 1,      // CM_PROB_NOT_CONFIGURED: installation not finished yet
    PROBLEM_INVALID_DATA = 9,        // CM_PROB_INVALID_DATA: its IDs could not be read
    PROBLEM_FAILED_START = 10,       // CM_PROB_FAILED_START
    PROBLEM_REINSTALL = 18,          // CM_PROB_REINSTALL: Windows is (re)installing its driver
    PROBLEM_DISABLED = 22,           // CM_PROB_DISABLED
    PROBLEM_FAILED_INSTALL = 28,     // CM_PROB_FAILED_INSTALL: no driver installed
    PROBLEM_FAILED_ADD = 31,         // CM_PROB_FAILED_ADD
    PROBLEM_DRIVER_FAILED_LOAD = 39, // CM_PROB_DRIVER_FAILED_LOAD
    PROBLEM_UNSIGNED_DRIVER = 52,    // CM_PROB_UNSIGNED_DRIVER
};

// What a wait for a start ends with when the reader's node has a problem waiting does not cure.
#ifndef STATUS_DEVICE_CONFIGURATION_ERROR
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif

// The advice for a problem that ends a wait at once; null for a problem that is waited for (1, 18:
// Windows is still installing) or none.
const char* FinalProblemMessage(uint32_t problem);

class DeviceView
{
public:
    virtual ~DeviceView() = default;
    // Every device node with the reader hardware ID, present or not, in increasing reader number.
    virtual NTSTATUS List(std::vector<ReaderDevice>* readers) = 0;
    // What the sample reader driver over reader `number` read at its start, through its interface:
    // STATUS_NOT_FOUND when no started reader of that number has the sample over it.
    virtual NTSTATUS ReadConfiguration(uint32_t number, SampleConfiguration* read) = 0;
    // Present device nodes with the bus hardware ID.
    virtual NTSTATUS CountBuses(uint32_t* count) = 0;
};

// The bus's hardware ID, which the INF binds the driver to.
extern const char* const BUS_HARDWARE_ID_TEXT;

// The reader number in a handle's reader half; false for one no reader can have (at or above
// MAX_READERS).
bool ReaderNumberOfHandle(const BusReaderHandle& handle, uint32_t* number);

// The view of the platform the library is built for.
std::unique_ptr<DeviceView> PlatformDeviceView();

// The reader number at the end of an instance path: the decimal after the last '\' or '&' (Windows
// builds "<parent prefix>&<instance ID>" for a child that does not claim a unique ID).
bool ReaderNumberFromInstancePath(const std::string& instancePath, uint32_t* number);

// Polls the view until reader `number` is started (or no present node has it), or the time is up:
// STATUS_SUCCESS or STATUS_IO_TIMEOUT, with the reader's last state in *last. A wait for the start
// ends at once with STATUS_DEVICE_CONFIGURATION_ERROR on a problem FinalProblemMessage names.
NTSTATUS WaitForReader(DeviceView& view, uint32_t number, MsdscWaitFor what, std::chrono::milliseconds timeout,
                       ReaderDevice* last);

} // namespace msdsc
