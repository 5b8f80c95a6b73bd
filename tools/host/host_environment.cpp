// The host tool's simulated machine: loads the driver, creates its buses, and reads back the device
// tree and the readers' registry values the way a user would look at Device Manager and regedit.
#include "host_environment.h"
#include "msdscnames.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <mutex>
#include <ostream>

#include "../session/session.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/verifier.h"

namespace msdsc::host {

const char16_t BUS_HARDWARE_ID[] = MSDSC_UTF16(MSDSC_BUS_HARDWARE_ID);
const char* const READER_VALUE_NAMES[4] = {MSDSC_VALUE_NUMBER, MSDSC_VALUE_DRIVE, MSDSC_VALUE_LOG, MSDSC_VALUE_EXISTS};

namespace {
const char16_t READER_HARDWARE_ID[] = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
const char16_t SERVICE_NAME[] = u"msdscbus";
}  // namespace

// Violations are collected rather than aborting the tool, so the session's output is complete
// and the tool can report them at the end.
struct Environment::Recording {
    std::mutex mutex;
    std::vector<std::string> violations;
    simk::verifier::Handler previous;
};

Environment::Environment() : m_Recording(new Recording) {
    simk::ResetKernel();
    Recording* recording = m_Recording;
    recording->previous = simk::verifier::SetHandler([recording](const simk::verifier::Violation& violation) {
        std::lock_guard<std::mutex> lock(recording->mutex);
        recording->violations.push_back(violation.rule + ": " + violation.details);
    });
}

Environment::~Environment() {
    simk::ResetKernel();
    simk::verifier::SetHandler(m_Recording->previous);
    delete m_Recording;
}

bool Environment::Load(const char* imagePath, std::string* error) {
    simk::pnp::ChildFunctionDriverOptions options;
    options.hardwareId = READER_HARDWARE_ID;
    simk::pnp::SetChildFunctionDriver(options);

    const simk::LoadResult result = simk::LoadDriver(imagePath, SERVICE_NAME);
    if (!result.driverObject) {
        *error = "cannot load " + std::string(imagePath) + ": " +
                 (result.error.empty() ? "DriverEntry failed with status " + tool::FormatStatus(result.status)
                                       : result.error);
        return false;
    }
    m_Driver = result.driverObject;
    return true;
}

bool Environment::CreateBuses(unsigned count, std::string* error) {
    for (unsigned i = 0; i < count; ++i) {
        simk::pnp::DeviceNode* node = simk::pnp::CreateRootDevice(m_Driver, BUS_HARDWARE_ID);
        m_Buses.push_back(node);
        Settle();
        if (simk::pnp::State(node) != simk::pnp::NodeState::Started) {
            const simk::pnp::NodeInfo info = simk::pnp::Info(node);
            *error = "bus " + std::to_string(i + 1) + " did not start: " +
                     simk::pnp::NodeStateName(info.state) + ", status " + tool::FormatStatus(info.problem);
            return false;
        }
    }
    return true;
}

void Environment::Settle() {
    simk::pnp::RunUntilIdle();
}

std::vector<BusView> Environment::View(const std::vector<BusView>* previous) const {
    std::unordered_map<std::string, const ReaderView*> known;
    if (previous)
        for (const BusView& bus : *previous)
            for (const ReaderView& reader : bus.readers)
                if (reader.started) known[reader.instancePath] = &reader;
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

size_t Environment::DriverPoolBlocks() const {
    return m_Driver ? simk::pool::OutstandingCount(m_Driver) : 0;
}

std::string Environment::DriverPoolByTag() const {
    std::map<std::string, size_t> counts;
    for (const simk::pool::Allocation& allocation : simk::pool::Outstanding())
        if (m_Driver && allocation.owner == m_Driver) ++counts[simk::TagText(allocation.tag)];
    std::string text;
    for (const auto& [tag, count] : counts) text += (text.empty() ? "" : ", ") + tag + " " + std::to_string(count);
    return text;
}

std::vector<std::string> Environment::Violations() const {
    std::lock_guard<std::mutex> lock(m_Recording->mutex);
    return m_Recording->violations;
}

namespace {

// A device as the changes see it: where it hangs, its state and, for a started reader, its values.
struct DeviceState {
    const std::string* bus = nullptr;  // null for a bus
    const std::string* state = nullptr;
    const std::optional<ULONG>* values = nullptr;

    bool operator==(const DeviceState& other) const {
        if (*state != *other.state || (values == nullptr) != (other.values == nullptr)) return false;
        return !values || std::equal(values, values + 4, other.values);
    }
};

std::unordered_map<std::string, DeviceState> States(const std::vector<BusView>& view) {
    std::unordered_map<std::string, DeviceState> states;
    for (const BusView& bus : view) {
        states[bus.instancePath] = DeviceState{nullptr, &bus.state, nullptr};
        for (const ReaderView& reader : bus.readers)
            states[reader.instancePath] =
                DeviceState{&bus.instancePath, &reader.state, reader.started ? reader.values : nullptr};
    }
    return states;
}

std::pair<std::string, std::string> Describe(const std::string& instance, const DeviceState& device,
                                             const std::string& state) {
    std::string text = "  plug and play: " + instance + "  " + state;
    tool::Json json("pnp");
    json.Add("instance", instance);
    if (device.bus) json.Add("bus", *device.bus);
    json.Add("state", state);
    if (device.values) {
        std::string object;
        for (int i = 0; i < 4; ++i) {
            const std::optional<ULONG>& value = device.values[i];
            text += std::string("  ") + READER_VALUE_NAMES[i] + "=" + (value ? std::to_string(*value) : "(missing)");
            object += (i ? "," : "") + tool::JsonString(READER_VALUE_NAMES[i]) + ":" +
                      (value ? std::to_string(*value) : std::string("null"));
        }
        json.Raw("values", "{" + object + "}");
    }
    return {text, json.Object()};
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ViewChanges(const std::vector<BusView>& before,
                                                             const std::vector<BusView>& after) {
    const auto old = States(before), now = States(after);
    std::vector<std::pair<std::string, std::string>> changes;
    // In the order of the views, so that a bus comes before its readers and readers come in order.
    for (const BusView& bus : before)
        for (size_t i = 0; i <= bus.readers.size(); ++i) {
            const std::string& instance = i == 0 ? bus.instancePath : bus.readers[i - 1].instancePath;
            if (!now.count(instance)) {
                DeviceState gone = old.at(instance);
                gone.values = nullptr;
                changes.push_back(Describe(instance, gone, "Removed"));
            }
        }
    for (const BusView& bus : after)
        for (size_t i = 0; i <= bus.readers.size(); ++i) {
            const std::string& instance = i == 0 ? bus.instancePath : bus.readers[i - 1].instancePath;
            const DeviceState& device = now.at(instance);
            const auto was = old.find(instance);
            if (was == old.end() || !(was->second == device)) changes.push_back(Describe(instance, device, *device.state));
        }
    return changes;
}

}  // namespace msdsc::host
