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
    uint32_t problem = 0;  // CM_PROB_*
    std::string driver;    // the service of its function driver; empty when none is installed
};

// Windows' problem codes the view reports (cfg.h's CM_PROB_ values).
enum : uint32_t {
    PROBLEM_FAILED_START = 10,   // CM_PROB_FAILED_START
    PROBLEM_FAILED_INSTALL = 28, // CM_PROB_FAILED_INSTALL: no driver installed
    PROBLEM_FAILED_ADD = 31,     // CM_PROB_FAILED_ADD
    PROBLEM_INVALID_DATA = 9,    // CM_PROB_INVALID_DATA: its IDs could not be read
};

class DeviceView {
public:
    virtual ~DeviceView() = default;
    // Every device node with the reader hardware ID, present or not, in increasing reader number.
    virtual NTSTATUS List(std::vector<ReaderDevice>* readers) = 0;
    // What the sample reader driver over reader `number` read at its start, through its interface:
    // STATUS_NOT_FOUND when no started reader of that number has the sample over it.
    virtual NTSTATUS ReadConfiguration(uint32_t number, SampleConfiguration* read) = 0;
};

// The view of the platform the library is built for.
std::unique_ptr<DeviceView> PlatformDeviceView();

// The reader number at the end of an instance path: the decimal after the last '\' or '&' (Windows
// builds "<parent prefix>&<instance ID>" for a child that does not claim a unique ID).
bool ReaderNumberFromInstancePath(const std::string& instancePath, uint32_t* number);

// Polls the view until reader `number` is started (or no present node has it), or the time is up:
// STATUS_SUCCESS or STATUS_IO_TIMEOUT, with the reader's last state in *last.
NTSTATUS WaitForReader(DeviceView& view, uint32_t number, MsdscWaitFor what, std::chrono::milliseconds timeout,
                       ReaderDevice* last);

}  // namespace msdsc
