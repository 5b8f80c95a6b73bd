// The battery's platform in the host build: the simulated Plug and Play manager's own calls for what
// a user does to a device node on Windows, its verifier's reports as evidence, and its pool
// accounting for what the function driver holds.
#include "platform.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "guid_text.h"
#include "msdscnames.h"
#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/user.h"
#include "simkernel/verifier.h"

namespace msdsc::battery {

namespace {

using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

constexpr MsdscStatus NO_SUCH_DEVICE = static_cast<MsdscStatus>(0xC000000Eu);
constexpr MsdscStatus NOT_FOUND = static_cast<MsdscStatus>(0xC0000225u);

bool HasId(const std::vector<std::u16string>& ids, const char* wanted)
{
    const std::u16string id = simk::Widen(wanted);
    return std::any_of(ids.begin(), ids.end(), [&](const std::u16string& candidate) {
        return candidate.size() == id.size() &&
               std::equal(candidate.begin(), candidate.end(), id.begin(),
                          [](char16_t a, char16_t b) { return std::towlower(a) == std::towlower(b); });
    });
}

uint32_t ProblemOf(const simk::pnp::NodeInfo& info)
{
    if (info.problemCode)
        return info.problemCode;
    switch (info.state) {
    case NodeState::StartFailed:
        return simk::pnp::CM_PROB_FAILED_START;
    case NodeState::AddDeviceFailed:
        return simk::pnp::CM_PROB_FAILED_ADD;
    case NodeState::NotInstalled:
        return simk::pnp::CM_PROB_FAILED_INSTALL;
    case NodeState::Disabled:
        return simk::pnp::CM_PROB_DISABLED;
    default:
        return 0;
    }
}

class HostHandle : public InterfaceHandle
{
public:
    simk::user::Handle handle = nullptr;
    // A request the driver has not completed yet keeps its thread, which the close ends.
    std::thread pending;
};

class HostPlatform : public Platform
{
public:
    explicit HostPlatform(const GUID& interfaceClass) : m_Class(interfaceClass), m_Violations(new Violations)
    {
        std::shared_ptr<Violations> violations = m_Violations;
        m_Previous = simk::verifier::SetHandler([violations](const simk::verifier::Violation& violation) {
            std::lock_guard<std::mutex> lock(violations->mutex);
            violations->seen.push_back(violation.rule + ": " + violation.details);
        });
    }
    ~HostPlatform() override { simk::verifier::SetHandler(m_Previous); }

    const char* Name() const override { return "the simulated kernel"; }
    const char* CannotDo(Action) const override { return nullptr; }

    NodeLook Look(uint32_t reader) override
    {
        NodeLook look;
        DeviceNode* node = Find(reader);
        if (!node)
            return look;
        const simk::pnp::NodeInfo info = simk::pnp::Info(node);
        look.instancePath = simk::Narrow(info.instancePath);
        look.lingering = info.state == NodeState::SurpriseRemoved;
        look.present = info.state != NodeState::SurpriseRemoved && info.state != NodeState::Removed;
        look.started = info.state == NodeState::Started;
        look.problem = look.present ? ProblemOf(info) : 0;
        return look;
    }

    uint32_t RecordedNodes() override
    {
        const std::u16string key =
            std::u16string(simk::registry::CURRENT_CONTROL_SET) + u"\\Enum\\" + simk::Widen(MSDSC_READER_HARDWARE_ID);
        return static_cast<uint32_t>(simk::registry::SubKeyNames(key).size());
    }

    void ReadHardwareValues(uint32_t reader, std::optional<uint32_t> values[4]) override
    {
        static const char* const NAMES[4] = {MSDSC_VALUE_NUMBER, MSDSC_VALUE_DRIVE, MSDSC_VALUE_LOG,
                                             MSDSC_VALUE_EXISTS};
        DeviceNode* node = Find(reader);
        if (!node)
            return;
        const std::u16string key = simk::registry::DeviceHardwareKeyPath(simk::pnp::InstancePath(node));
        for (int i = 0; i < 4; ++i)
            if (const std::optional<ULONG> value = simk::registry::QueryDword(key, simk::Widen(NAMES[i])))
                values[i] = *value;
    }

    MsdscStatus Disable(uint32_t reader, Veto* veto) override
    {
        return Vetoable(reader, veto,
                        [](DeviceNode* node, DeviceNode** by) { return simk::pnp::DisableDevice(node, by); });
    }
    MsdscStatus Enable(uint32_t reader) override
    {
        DeviceNode* node = Find(reader);
        return node ? simk::pnp::EnableDevice(node) : NO_SUCH_DEVICE;
    }
    MsdscStatus Restart(uint32_t reader, Veto* veto) override
    {
        return Vetoable(reader, veto,
                        [](DeviceNode* node, DeviceNode** by) { return simk::pnp::RestartDevice(node, by); });
    }
    // The manager keeps the node of a reader its bus still reports (Disabled), as Windows keeps a
    // removed child's node until something enumerates it again.
    MsdscStatus QueryRemove(uint32_t reader, Veto* veto) override
    {
        return Vetoable(reader, veto,
                        [](DeviceNode* node, DeviceNode** by) { return simk::pnp::RemoveDevice(node, by); });
    }
    MsdscStatus Reinstate(uint32_t reader) override { return Enable(reader); }
    // Windows deletes the node and the re-scan makes a new one for the PDO its bus still reports;
    // the simulated manager keeps the node, so the re-scan is its enable: the same stack build and
    // start from the registry.
    MsdscStatus DifRemoveAndRescan(uint32_t reader) override
    {
        Veto veto;
        const MsdscStatus status = QueryRemove(reader, &veto);
        if (status < 0)
            return status;
        return Enable(reader);
    }

    bool InterfaceEnabled(uint32_t reader) override { return InterfaceOf(reader) != nullptr; }

    MsdscStatus OpenInterface(uint32_t reader, std::unique_ptr<InterfaceHandle>* handle) override
    {
        DEVICE_OBJECT* pdo = InterfaceOf(reader);
        if (!pdo)
            return NOT_FOUND;
        auto opened = std::make_unique<HostHandle>();
        const NTSTATUS status = simk::user::OpenDeviceObject(pdo, &opened->handle, GENERIC_READ);
        if (NT_SUCCESS(status))
            *handle = std::move(opened);
        return status;
    }

    ProbeResult Probe(InterfaceHandle& base, uint32_t code, uint32_t timeoutMs) override
    {
        HostHandle& handle = static_cast<HostHandle&>(base);
        // The simulated I/O manager waits for a pending request on the caller's thread, so the
        // request gets a thread of its own and the battery waits for that only so long.
        struct Shared {
            std::mutex mutex;
            std::condition_variable done;
            bool completed = false;
            NTSTATUS status = STATUS_PENDING;
        };
        auto shared = std::make_shared<Shared>();
        simk::user::Handle user = handle.handle;
        handle.pending = std::thread([shared, user, code] {
            unsigned char reply[64] = {};
            ULONG_PTR information = 0;
            const NTSTATUS status =
                simk::user::DeviceIoControl(user, code, nullptr, 0, reply, sizeof(reply), &information);
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->completed = true;
            shared->status = status;
            shared->done.notify_all();
        });
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return shared->completed; });
        ProbeResult result;
        result.completed = shared->completed;
        result.status = shared->status;
        return result;
    }

    void Close(std::unique_ptr<InterfaceHandle> base) override
    {
        auto* handle = static_cast<HostHandle*>(base.get());
        simk::user::Close(handle->handle);
        if (handle->pending.joinable())
            handle->pending.join();
    }

    std::optional<Pool> FunctionDriverPool() override
    {
        // Every driver but the bus driver and the kernel: the function driver and filters over readers.
        std::vector<PDRIVER_OBJECT> buses;
        for (DeviceNode* root : simk::pnp::RootDevices())
            if (HasId(simk::pnp::Info(root).hardwareIds, MSDSC_BUS_HARDWARE_ID))
                for (DEVICE_OBJECT* device : simk::pnp::Stack(root))
                    buses.push_back(device->DriverObject);
        Pool pool;
        std::map<std::string, size_t> byTag;
        for (const simk::pool::Allocation& allocation : simk::pool::Outstanding()) {
            if (!allocation.owner || allocation.owner == simk::pnp::RootBusDriver() ||
                std::find(buses.begin(), buses.end(), allocation.owner) != buses.end())
                continue;
            ++pool.blocks;
            ++byTag[simk::TagText(allocation.tag)];
        }
        for (const auto& [tag, count] : byTag)
            pool.byTag += (pool.byTag.empty() ? "" : ", ") + tag + " " + std::to_string(count);
        return pool;
    }

    std::vector<std::string> TakeViolations() override
    {
        std::lock_guard<std::mutex> lock(m_Violations->mutex);
        std::vector<std::string> taken;
        taken.swap(m_Violations->seen);
        return taken;
    }

private:
    struct Violations {
        std::mutex mutex;
        std::vector<std::string> seen;
    };

    // The reader's node by its number: a present one in the tree, else the last one seen, which
    // stays inspectable (a node reported missing and kept for an open handle is no bus's child).
    DeviceNode* Find(uint32_t reader)
    {
        simk::pnp::RunUntilIdle();
        std::vector<DeviceNode*> pending = simk::pnp::RootDevices();
        while (!pending.empty()) {
            DeviceNode* node = pending.back();
            pending.pop_back();
            for (DeviceNode* child : simk::pnp::Children(node))
                pending.push_back(child);
            const simk::pnp::NodeInfo info = simk::pnp::Info(node);
            if (info.state == NodeState::Removed || !info.busInformation || info.busInformation->BusNumber != reader ||
                !HasId(info.hardwareIds, MSDSC_READER_HARDWARE_ID))
                continue;
            m_Seen[reader] = node;
            return node;
        }
        const auto seen = m_Seen.find(reader);
        if (seen == m_Seen.end())
            return nullptr;
        const NodeState state = simk::pnp::State(seen->second);
        return state == NodeState::SurpriseRemoved ? seen->second : nullptr;
    }

    DEVICE_OBJECT* InterfaceOf(uint32_t reader)
    {
        DeviceNode* node = Find(reader);
        if (!node)
            return nullptr;
        for (const simk::pnp::DeviceInterface& entry : simk::pnp::DeviceInterfaces(m_Class))
            if (entry.node == node)
                return entry.pdo;
        return nullptr;
    }

    template <typename Call>
    MsdscStatus Vetoable(uint32_t reader, Veto* veto, Call call)
    {
        DeviceNode* node = Find(reader);
        if (!node)
            return NO_SUCH_DEVICE;
        const size_t logged = simk::pnp::IrpLog().size();
        DeviceNode* vetoedBy = nullptr;
        const NTSTATUS status = call(node, &vetoedBy);
        if (NT_SUCCESS(status) || !vetoedBy)
            return status;
        // A stack that failed the query-remove vetoed it itself; otherwise the manager did, for a
        // handle still open on the stack (Windows' PNP_VetoOutstandingOpen).
        const std::vector<simk::pnp::IrpRecord> log = simk::pnp::IrpLog();
        const bool driverRefused = std::any_of(log.begin() + static_cast<std::ptrdiff_t>(std::min(logged, log.size())),
                                               log.end(), [&](const simk::pnp::IrpRecord& record) {
                                                   return record.node == vetoedBy && record.major == IRP_MJ_PNP &&
                                                          record.minor == IRP_MN_QUERY_REMOVE_DEVICE &&
                                                          !NT_SUCCESS(record.status);
                                               });
        veto->type = driverRefused ? "Device" : "OutstandingOpen";
        veto->name = simk::Narrow(simk::pnp::InstancePath(vetoedBy));
        const auto stack = simk::pnp::Stack(vetoedBy);
        if (driverRefused && !stack.empty())
            veto->name += " (driver " + simk::Narrow(DriverName(stack.back()->DriverObject)) + ")";
        return status;
    }

    static std::u16string DriverName(PDRIVER_OBJECT driver)
    {
        const UNICODE_STRING& name = driver->DriverName;
        return std::u16string(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    }

    GUID m_Class;
    std::shared_ptr<Violations> m_Violations;
    simk::verifier::Handler m_Previous;
    std::map<uint32_t, DeviceNode*> m_Seen;
};

} // namespace

std::unique_ptr<Platform> MakePlatform(const char* interfaceClass, std::string* error)
{
    GUID guid{};
    if (!ParseGuid(interfaceClass ? interfaceClass : MSDSC_SAMPLE_INTERFACE_GUID_TEXT, &guid)) {
        *error = std::string("not an interface class GUID: '") + interfaceClass + "' (\"{xxxxxxxx-xxxx-...}\")";
        return nullptr;
    }
    return std::make_unique<HostPlatform>(guid);
}

} // namespace msdsc::battery
