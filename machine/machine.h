// The simulated machine the host build runs the driver in: the driver image loaded, N root bus
// devices created through the Plug and Play manager, and the view of what Plug and Play sees. The
// host tool, the Python package's host library and the benchmarks each start one.
#pragma once

#include <wdm.h>

#include <optional>
#include <string>
#include <vector>

#include "simkernel/pnp.h"

namespace msdsc::machine {

// The most root bus devices one machine takes, for every way of starting one (the host tool's
// --buses, the host library): a count from a careless caller (-1 read as 4294967295) must be
// refused, not run until memory is gone.
constexpr unsigned MAX_BUSES = 64;

// The bus's hardware ID, which the INF binds the driver to on Windows.
extern const char16_t BUS_HARDWARE_ID[];

struct ReaderView {
    std::string instancePath;
    std::string state;
    bool started = false;
    // "Number", "Drive", "Log", "Exists" from the reader's hardware key, for started readers; a
    // value the driver did not write stays empty.
    std::optional<ULONG> values[4];
};

struct BusView {
    std::string instancePath;
    std::string state;
    std::vector<ReaderView> readers; // the bus's children in the device tree
};

extern const char* const READER_VALUE_NAMES[4];

class Machine
{
public:
    Machine();
    ~Machine(); // resets the simulated kernel
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the driver image and puts the stand-in for the reader function driver over every reader
    // Plug and Play enumerates, as Windows loads the reader's driver.
    bool Load(const char* imagePath, std::string* error);
    // Creates root bus devices with the bus hardware ID; each must reach Started. More than
    // MAX_BUSES is refused before any is made.
    bool CreateBuses(unsigned count, std::string* error);
    // Lets Plug and Play finish what the driver asked for (enumerations after adds and removals).
    void Settle();

    // With `previous`, a started reader's values are taken from there instead of the registry: the
    // driver writes them once, at the start, so a view after each command costs little per reader.
    std::vector<BusView> View(const std::vector<BusView>* previous = nullptr) const;
    // Pool blocks the driver holds now.
    size_t DriverPoolBlocks() const;
    // The same by pool tag: "ansl 1, apsl 2".
    std::string DriverPoolByTag() const;
    // Verifier violations reported since Load.
    std::vector<std::string> Violations() const;

    PDRIVER_OBJECT Driver() const { return m_Driver; }
    const std::vector<simk::pnp::DeviceNode*>& Buses() const { return m_Buses; }

private:
    PDRIVER_OBJECT m_Driver = nullptr;
    std::vector<simk::pnp::DeviceNode*> m_Buses;
    struct Recording;
    Recording* m_Recording;
};

} // namespace msdsc::machine
