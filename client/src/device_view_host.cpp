// The device view in the host build: the simulated Plug and Play manager's device tree for the
// present readers, and the registry's Enum keys, which outlive their device nodes as on Windows, for
// the ones no longer present.
#include <algorithm>
#include <cctype>

#include "device_view.h"
#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/user.h"
#include "msdscnames.h"

namespace msdsc {

namespace {

std::string Folded(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const GUID SAMPLE_INTERFACE = MSDSC_SAMPLE_INTERFACE_GUID_INITIALIZER;

// The service Plug and Play bound to the node ("Service" of its device key), as SPDRP_SERVICE reads it.
std::string ServiceOf(simk::pnp::DeviceNode* node)
{
    const auto value = simk::registry::QueryValue(simk::pnp::DeviceKeyPath(node), u"Service");
    if (!value || value->type != REG_SZ)
        return {};
    std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return simk::Narrow(text);
}

uint32_t ProblemOf(simk::pnp::NodeState state)
{
    switch (state) {
    case simk::pnp::NodeState::IdQueryFailed:
        return PROBLEM_INVALID_DATA;
    case simk::pnp::NodeState::AddDeviceFailed:
        return PROBLEM_FAILED_ADD;
    case simk::pnp::NodeState::StartFailed:
        return PROBLEM_FAILED_START;
    case simk::pnp::NodeState::NotInstalled:
        return PROBLEM_FAILED_INSTALL;
    case simk::pnp::NodeState::Disabled:
        return PROBLEM_DISABLED;
    default:
        return 0;
    }
}

class SimulatedDeviceView : public DeviceView
{
public:
    NTSTATUS List(std::vector<ReaderDevice>* readers) override
    {
        // On Windows Plug and Play works through what drivers asked for on threads of its own; the
        // simulated manager does it when asked, so a view that looks is a view that lets it run.
        simk::pnp::RunUntilIdle();
        readers->clear();
        const std::string hardwareId = Folded(READER_HARDWARE_ID_TEXT);
        std::vector<std::string> presentPaths;
        std::vector<simk::pnp::DeviceNode*> pending = simk::pnp::RootDevices();
        while (!pending.empty()) {
            simk::pnp::DeviceNode* node = pending.back();
            pending.pop_back();
            for (simk::pnp::DeviceNode* child : simk::pnp::Children(node))
                pending.push_back(child);
            const simk::pnp::NodeInfo info = simk::pnp::Info(node);
            const bool isReader =
                std::any_of(info.hardwareIds.begin(), info.hardwareIds.end(),
                            [&](const std::u16string& id) { return Folded(simk::Narrow(id)) == hardwareId; });
            // A reader the bus no longer reports is on its way out: not present for a caller.
            if (!isReader || info.state == simk::pnp::NodeState::SurpriseRemoved)
                continue;
            ReaderDevice reader;
            reader.instancePath = simk::Narrow(info.instancePath);
            reader.present = true;
            reader.started = info.state == simk::pnp::NodeState::Started;
            reader.problem = info.problemCode != 0 ? info.problemCode : ProblemOf(info.state);
            reader.driver = ServiceOf(node);
            if (info.busInformation)
                reader.number = info.busInformation->BusNumber;
            else if (!ReaderNumberFromInstancePath(reader.instancePath, &reader.number))
                continue;
            presentPaths.push_back(Folded(reader.instancePath));
            readers->push_back(reader);
        }
        const std::u16string deviceKey =
            std::u16string(simk::registry::CURRENT_CONTROL_SET) + u"\\Enum\\" + simk::Widen(READER_HARDWARE_ID_TEXT);
        for (const std::u16string& instance : simk::registry::SubKeyNames(deviceKey)) {
            ReaderDevice reader;
            reader.instancePath = std::string(READER_HARDWARE_ID_TEXT) + "\\" + simk::Narrow(instance);
            if (std::find(presentPaths.begin(), presentPaths.end(), Folded(reader.instancePath)) != presentPaths.end())
                continue;
            if (!ReaderNumberFromInstancePath(reader.instancePath, &reader.number))
                continue;
            readers->push_back(reader);
        }
        std::sort(readers->begin(), readers->end(), [](const ReaderDevice& a, const ReaderDevice& b) {
            return a.number != b.number ? a.number < b.number : a.present > b.present;
        });
        return STATUS_SUCCESS;
    }

    NTSTATUS ReadConfiguration(uint32_t number, SampleConfiguration* read) override
    {
        simk::pnp::RunUntilIdle();
        for (const simk::pnp::DeviceInterface& entry : simk::pnp::DeviceInterfaces(SAMPLE_INTERFACE)) {
            uint32_t readerNumber = 0;
            if (!ReaderNumberFromInstancePath(simk::Narrow(simk::pnp::InstancePath(entry.node)), &readerNumber) ||
                readerNumber != number)
                continue;
            simk::user::Handle handle = nullptr;
            if (!NT_SUCCESS(simk::user::OpenDeviceObject(entry.pdo, &handle, GENERIC_READ)))
                continue;
            ULONG_PTR information = 0;
            const NTSTATUS status = simk::user::DeviceIoControl(handle, IOCTL_SAMPLE_GET_CONFIGURATION, nullptr, 0,
                                                                read, sizeof(*read), &information);
            simk::user::Close(handle);
            if (NT_SUCCESS(status) && information == sizeof(*read))
                return STATUS_SUCCESS;
        }
        return STATUS_NOT_FOUND;
    }

    NTSTATUS CountBuses(uint32_t* count) override
    {
        simk::pnp::RunUntilIdle();
        const std::string hardwareId = Folded(BUS_HARDWARE_ID_TEXT);
        *count = 0;
        for (simk::pnp::DeviceNode* node : simk::pnp::RootDevices()) {
            const simk::pnp::NodeInfo info = simk::pnp::Info(node);
            if (info.state == simk::pnp::NodeState::SurpriseRemoved || info.state == simk::pnp::NodeState::Removed)
                continue;
            for (const std::u16string& id : info.hardwareIds)
                if (Folded(simk::Narrow(id)) == hardwareId) {
                    ++*count;
                    break;
                }
        }
        return STATUS_SUCCESS;
    }
};

} // namespace

std::unique_ptr<DeviceView> PlatformDeviceView() { return std::make_unique<SimulatedDeviceView>(); }

} // namespace msdsc
