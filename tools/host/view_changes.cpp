// The host tool's account of what a command did to the device tree, read off two views of the
// simulated machine and written in the session's encodings.
#include "view_changes.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "commands.h"

namespace msdsc::tool {

using machine::BusView;
using machine::READER_VALUE_NAMES;
using machine::ReaderView;

namespace {

// A device as the changes see it: where it hangs, its state and, for a started reader, its values.
struct DeviceState {
    const std::string* bus = nullptr; // null for a bus
    const std::string* state = nullptr;
    const std::optional<ULONG>* values = nullptr;

    bool operator==(const DeviceState& other) const
    {
        if (*state != *other.state || (values == nullptr) != (other.values == nullptr))
            return false;
        return !values || std::equal(values, values + 4, other.values);
    }
};

std::unordered_map<std::string, DeviceState> States(const std::vector<BusView>& view)
{
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
                                             const std::string& state)
{
    std::string text = "  plug and play: " + instance + "  " + state;
    Json json("pnp");
    json.Add("instance", instance);
    if (device.bus)
        json.Add("bus", *device.bus);
    json.Add("state", state);
    if (device.values) {
        std::string object;
        for (int i = 0; i < 4; ++i) {
            const std::optional<ULONG>& value = device.values[i];
            text += std::string("  ") + READER_VALUE_NAMES[i] + "=" + (value ? std::to_string(*value) : "(missing)");
            object += (i ? "," : "") + JsonString(READER_VALUE_NAMES[i]) + ":" +
                      (value ? std::to_string(*value) : std::string("null"));
        }
        json.Raw("values", "{" + object + "}");
    }
    return {text, json.Object()};
}

} // namespace

std::vector<std::pair<std::string, std::string>> ViewChanges(const std::vector<BusView>& before,
                                                             const std::vector<BusView>& after)
{
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
            if (was == old.end() || !(was->second == device))
                changes.push_back(Describe(instance, device, *device.state));
        }
    return changes;
}

} // namespace msdsc::tool
