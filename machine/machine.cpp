// The simulated machine: loads the driver, creates its buses, and reads back the device tree and the
// readers' registry values the way a user would look at Device Manager and regedit.
#include "machine.h"
#include "msdscnames.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <unordered_map>
#include <mutex>

#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/verifier.h"

namespace msdsc::machine {

const char16_t BUS_HARDWARE_ID[] = MSDSC_UTF16(MSDSC_BUS_HARDWARE_ID);
const char* const READER_VALUE_NAMES[4] = {MSDSC_VALUE_NUMBER, MSDSC_VALUE_DRIVE, MSDSC_VALUE_LOG, MSDSC_VALUE_EXISTS};

namespace {
const char16_t READER_HARDWARE_ID[] = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
const char16_t SERVICE_NAME[] = u"msdscbus";

// As Windows' documentation writes a status ("0xC0000184"), in the machine's own failure messages.
std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}
} // namespace

// Violations are collected rather than aborting the process, so that a tool's output is complete
// and its caller can report them at the end.
struct Machine::Recording {
    std::mutex mutex;
    std::vector<std::string> violations;
    simk::verifier::Handler previous;
};

Machine::Machine() : m_Recording(new Recording)
{
    simk::ResetKernel();
    Recording* recording = m_Recording;
    recording->previous = simk::verifier::SetHandler([recording](const simk::verifier::Violation& violation) {
        std::lock_guard<std::mutex> lock(recording->mutex);
        recording->violations.push_back(violation.rule + ": " + violation.details);
    });
}

Machine::~Machine()
{
    simk::ResetKernel();
    simk::verifier::SetHandler(m_Recording->previous);
    delete m_Recording;
}

bool Machine::Load(const char* imagePath, std::string* error)
{
    simk::pnp::ChildFunctionDriverOptions options;
    options.hardwareId = READER_HARDWARE_ID;
    simk::pnp::SetChildFunctionDriver(options);

    const simk::LoadResult result = simk::LoadDriver(imagePath, SERVICE_NAME);
    if (!result.driverObject) {
        *error = "cannot load " + std::string(imagePath) + ": " +
                 (result.error.empty() ? "DriverEntry failed with status " + StatusText(result.status) : result.error);
        return false;
    }
    m_Driver = result.driverObject;
    return true;
}

bool Machine::CreateBuses(unsigned count, std::string* error)
{
    if (count > MAX_BUSES) {
        *error = "a simulated machine takes 0 to " + std::to_string(MAX_BUSES) + " bus devices, not " +
                 std::to_string(count);
        return false;
    }
    for (unsigned i = 0; i < count; ++i) {
        simk::pnp::DeviceNode* node = simk::pnp::CreateRootDevice(m_Driver, BUS_HARDWARE_ID);
        m_Buses.push_back(node);
        Settle();
        if (simk::pnp::State(node) != simk::pnp::NodeState::Started) {
            const simk::pnp::NodeInfo info = simk::pnp::Info(node);
            *error = "bus " + std::to_string(i + 1) + " did not start: " + simk::pnp::NodeStateName(info.state) +
                     ", status " + StatusText(info.problem);
            return false;
        }
    }
    return true;
}

void Machine::Settle() { simk::pnp::RunUntilIdle(); }

std::vector<BusView> Machine::View(const std::vector<BusView>* previous) const
{
    std::unordered_map<std::string, const ReaderView*> known;
    if (previous)
        for (const BusView& bus : *previous)
            for (const ReaderView& reader : bus.readers)
                if (reader.started)
                    known[reader.instancePath] = &reader;
    std::vector<BusView> view;
    for (simk::pnp::DeviceNode* bus : m_Buses) {
        BusView busView;
        busView.instancePath = simk::Narrow(simk::pnp::InstancePath(bus));
        busView.state = simk::pnp::NodeStateName(simk::pnp::State(bus));
        for (simk::pnp::DeviceNode* child : simk::pnp::Children(bus)) {
            ReaderView reader;
            const std::u16string path = simk::pnp::InstancePath(child);
            reader.instancePath = simk::Narrow(path);
            const simk::pnp::NodeState state = simk::pnp::State(child);
            reader.state = simk::pnp::NodeStateName(state);
            reader.started = state == simk::pnp::NodeState::Started;
            const auto seen = known.find(reader.instancePath);
            if (reader.started && seen != known.end()) {
                std::copy(std::begin(seen->second->values), std::end(seen->second->values), std::begin(reader.values));
            } else if (reader.started) {
                const std::u16string key = simk::registry::DeviceHardwareKeyPath(path);
                for (int i = 0; i < 4; ++i)
                    reader.values[i] = simk::registry::QueryDword(key, simk::Widen(READER_VALUE_NAMES[i]));
            }
            busView.readers.push_back(reader);
        }
        view.push_back(busView);
    }
    return view;
}

size_t Machine::DriverPoolBlocks() const { return m_Driver ? simk::pool::OutstandingCount(m_Driver) : 0; }

std::string Machine::DriverPoolByTag() const
{
    std::map<std::string, size_t> counts;
    for (const simk::pool::Allocation& allocation : simk::pool::Outstanding())
        if (m_Driver && allocation.owner == m_Driver)
            ++counts[simk::TagText(allocation.tag)];
    std::string text;
    for (const auto& [tag, count] : counts)
        text += (text.empty() ? "" : ", ") + tag + " " + std::to_string(count);
    return text;
}

std::vector<std::string> Machine::Violations() const
{
    std::lock_guard<std::mutex> lock(m_Recording->mutex);
    return m_Recording->violations;
}

} // namespace msdsc::machine
