// Installed drivers and the stacks built from them: one routine builds every node's stack (a root
// bus, a child, the function-driver double's children) from the registry, as Windows does, with
// the device's and its class's filters around the function driver, and a node nobody installed a
// function driver for and that cannot run raw waits at problem 28 until an install matches it.
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;

struct Install {
    std::u16string hardwareId; // folded; empty: every device
    std::u16string service;
    std::u16string classGuid;
};

std::mutex g_installMutex;
// Installations of new devices held back (HoldNewDeviceInstalls), in the order they were enumerated.
bool g_holdInstalls = false;
std::vector<DeviceNode*> g_heldInstalls;
std::vector<Install> g_installs;                // newest first
std::map<std::u16string, std::string> g_images; // by folded service name: the image to load it from

std::u16string ControlSet() { return simk::registry::CURRENT_CONTROL_SET; }

std::u16string ServiceOf(DRIVER_OBJECT* driver)
{
    simk::detail::DriverInfo info;
    return driver && simk::detail::GetDriverInfo(driver, &info) ? info.service : std::u16string();
}

std::u16string ReadString(const std::u16string& key, const std::u16string& name)
{
    const auto value = simk::registry::QueryValue(key, name);
    if (!value || value->type != REG_SZ)
        return {};
    std::u16string s;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
        if (!c)
            break;
        s.push_back(c);
    }
    return s;
}

void WriteString(const std::u16string& key, const std::u16string& name, const std::u16string& text)
{
    std::u16string s = text;
    s.push_back(u'\0');
    simk::registry::CreateKey(key);
    simk::registry::SetValue(key, name, REG_SZ, s.data(), s.size() * sizeof(char16_t));
}

std::vector<std::u16string> ReadMultiString(const std::u16string& key, const std::u16string& name)
{
    std::vector<std::u16string> entries;
    const auto value = simk::registry::QueryValue(key, name);
    if (!value || value->type != REG_MULTI_SZ)
        return entries;
    std::u16string current;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
        if (c) {
            current.push_back(c);
            continue;
        }
        if (current.empty())
            break;
        entries.push_back(current);
        current.clear();
    }
    return entries;
}

void WriteMultiString(const std::u16string& key, const std::u16string& name, const std::vector<std::u16string>& entries)
{
    simk::registry::CreateKey(key);
    std::u16string s;
    for (const auto& entry : entries) {
        s += entry;
        s.push_back(u'\0');
    }
    s.push_back(u'\0');
    simk::registry::SetValue(key, name, REG_MULTI_SZ, s.data(), s.size() * sizeof(char16_t));
}

std::u16string ClassKeyPath(const std::u16string& classGuid)
{
    return ControlSet() + u"\\Control\\Class\\" + classGuid;
}

// The service's driver, loaded from its image if it was installed from one and is not loaded now
// (Windows loads a driver when a stack first needs it).
DRIVER_OBJECT* DriverForService(const std::u16string& service)
{
    if (DRIVER_OBJECT* loaded = simk::FindDriver(service.c_str()))
        return loaded;
    std::string image;
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        auto it = g_images.find(Fold(service));
        if (it == g_images.end())
            return nullptr;
        image = it->second;
    }
    return simk::LoadDriver(image.c_str(), service.c_str()).driverObject;
}

// The install that matches a device best: its hardware IDs in their order, then its compatible
// IDs, then an install for every device (device installation ranks drivers that way).
const Install* BestInstall(const NodeInfo& info)
{
    auto match = [](const std::u16string& id) -> const Install* {
        for (const Install& install : g_installs)
            if (!install.hardwareId.empty() && install.hardwareId == Fold(id))
                return &install;
        return nullptr;
    };
    for (const auto& id : info.hardwareIds)
        if (const Install* install = match(id))
            return install;
    for (const auto& id : info.compatibleIds)
        if (const Install* install = match(id))
            return install;
    for (const Install& install : g_installs)
        if (install.hardwareId.empty())
            return &install;
    return nullptr;
}

// A new device is installed with the best driver there is for it; one installed before (its
// device key outlives its node, as on Windows) keeps its service.
void AssignService(DeviceNode* node)
{
    const std::u16string key = DeviceKeyPath(node);
    if (!ReadString(key, u"Service").empty())
        return;
    Install chosen;
    const NodeInfo info = Info(node); // before the install lock: the manager's reset takes them the other way
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        const Install* install = BestInstall(info);
        if (!install)
            return;
        chosen = *install;
    }
    WriteString(key, u"Service", chosen.service);
    if (!chosen.classGuid.empty())
        WriteString(key, u"ClassGUID", chosen.classGuid);
}

// After a failed AddDevice the drivers already attached are told the device is gone, so they
// detach and delete what they created.
void TearDownPartialStack(DeviceNode* node)
{
    if (!node->info.pdo->AttachedDevice)
        return;
    SendPnp(node, IRP_MN_REMOVE_DEVICE, 0);
}

} // namespace

namespace simk::pnp::tree {

bool BuildStack(DeviceNode* node)
{
    const std::u16string key = DeviceKeyPath(node);
    const std::u16string service = ReadString(key, u"Service");
    bool rawOk;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.functionDriverAttached = false;
        node->info.raw = false;
        rawOk = node->info.capabilities.RawDeviceOK;
    }
    if (service.empty()) {
        // Function Drivers: a function driver is required unless the device is used in raw mode,
        // and a raw device has no filters either: the bus driver alone runs it.
        if (rawOk) {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            node->functionDevice = nullptr;
            node->info.raw = true;
            node->stackBuilt = true;
            return true;
        }
        SetState(node, NodeState::NotInstalled, STATUS_NO_SUCH_DEVICE);
        return false;
    }
    const std::u16string classGuid = ReadString(key, u"ClassGUID");
    const std::u16string classKey = classGuid.empty() ? std::u16string() : ClassKeyPath(classGuid);
    // Installing a Filter Driver / Device filter driver ordering: lower filters attach below the
    // function driver, upper filters above it, the device's own nearer to the function driver than
    // its class's.
    std::vector<std::u16string> order = ReadMultiString(key, u"LowerFilters");
    if (!classKey.empty())
        for (auto& s : ReadMultiString(classKey, u"LowerFilters"))
            order.push_back(s);
    const size_t lowerFilters = order.size();
    order.push_back(service);
    for (auto& s : ReadMultiString(key, u"UpperFilters"))
        order.push_back(s);
    if (!classKey.empty())
        for (auto& s : ReadMultiString(classKey, u"UpperFilters"))
            order.push_back(s);

    DEVICE_OBJECT* functionDevice = nullptr;
    for (size_t i = 0; i < order.size(); ++i) {
        DRIVER_OBJECT* driver = DriverForService(order[i]);
        const NTSTATUS status = driver && driver->DriverExtension && driver->DriverExtension->AddDevice
                                    ? simk::detail::CallAddDevice(driver, node->info.pdo)
                                    : STATUS_NOT_IMPLEMENTED;
        if (!NT_SUCCESS(status)) {
            TearDownPartialStack(node);
            SetState(node, NodeState::AddDeviceFailed, status);
            return false;
        }
        if (i == lowerFilters) {
            DEVICE_OBJECT* top = node->info.pdo;
            while (top->AttachedDevice)
                top = top->AttachedDevice;
            functionDevice = top != node->info.pdo ? top : nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->stackBuilt = true;
        node->functionDevice = functionDevice;
    }
    DRIVER_OBJECT* functionDouble = ChildFunctionDriver();
    bool doubleAttached = false;
    for (DEVICE_OBJECT* d = node->info.pdo->AttachedDevice; d; d = d->AttachedDevice)
        doubleAttached = doubleAttached || (functionDouble && d->DriverObject == functionDouble);
    std::lock_guard<std::mutex> lock(g_stateMutex);
    node->info.functionDriverAttached = doubleAttached;
    return true;
}

void InstallNewDevice(DeviceNode* node) { AssignService(node); }

void SetServiceOf(DeviceNode* node, DRIVER_OBJECT* driver, const std::u16string& classGuid)
{
    const std::u16string service = ServiceOf(driver);
    if (!service.empty())
        WriteString(DeviceKeyPath(node), u"Service", service);
    if (!classGuid.empty())
        WriteString(DeviceKeyPath(node), u"ClassGUID", classGuid);
}

bool HoldInstallOf(DeviceNode* node)
{
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        if (!g_holdInstalls)
            return false;
        g_heldInstalls.push_back(node);
    }
    std::lock_guard<std::mutex> lock(g_stateMutex);
    node->info.problemCode = CM_PROB_NOT_CONFIGURED;
    return true;
}

void ResetInstalls()
{
    std::lock_guard<std::mutex> lock(g_installMutex);
    g_holdInstalls = false;
    g_heldInstalls.clear();
    g_installs.clear();
    g_images.clear();
}

} // namespace simk::pnp::tree

namespace simk::pnp {

std::u16string DeviceKeyPath(const DeviceNode* node) { return ControlSet() + u"\\Enum\\" + InstancePath(node); }

std::vector<DEVICE_OBJECT*> Stack(const DeviceNode* node)
{
    std::vector<DEVICE_OBJECT*> stack;
    for (DEVICE_OBJECT* d = node->info.pdo; d; d = d->AttachedDevice)
        stack.push_back(d);
    return stack;
}

void InstallDriver(const std::u16string& hardwareId, DRIVER_OBJECT* driver, const std::u16string& classGuid)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    const std::u16string service = ServiceOf(driver);
    if (service.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        const std::u16string folded = Fold(hardwareId);
        g_installs.erase(std::remove_if(g_installs.begin(), g_installs.end(),
                                        [&](const Install& i) { return i.hardwareId == folded; }),
                         g_installs.end());
        g_installs.insert(g_installs.begin(), Install{folded, service, classGuid});
    }
    // An install on Windows finishes by starting the matching devices that have no driver yet.
    std::vector<DeviceNode*> waiting;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        for (const auto& node : g_nodes)
            if (node->inTree && node->info.state == NodeState::NotInstalled)
                waiting.push_back(node.get());
    }
    for (DeviceNode* node : waiting) {
        AssignService(node);
        if (BuildStack(node))
            StartNode(node);
    }
}

void HoldNewDeviceInstalls(bool hold)
{
    std::lock_guard<std::mutex> lock(g_installMutex);
    g_holdInstalls = hold;
}

void ReleaseHeldInstalls()
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    std::vector<DeviceNode*> held;
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        held.swap(g_heldInstalls);
    }
    for (DeviceNode* node : held) {
        {
            // One that went while it waited (its bus stopped reporting it) is not installed.
            std::lock_guard<std::mutex> lock(g_stateMutex);
            if (!node->inTree || node->info.state != NodeState::Enumerated)
                continue;
            node->info.problemCode = 0;
        }
        InstallNewDevice(node);
        if (BuildStack(node))
            StartNode(node);
    }
}

DRIVER_OBJECT* InstallDriverImage(const std::u16string& hardwareId, const char* imagePath,
                                  const std::u16string& serviceName, const std::u16string& classGuid,
                                  std::string* error)
{
    DRIVER_OBJECT* driver = InstallService(imagePath, serviceName, error);
    if (driver)
        InstallDriver(hardwareId, driver, classGuid);
    return driver;
}

DRIVER_OBJECT* InstallService(const char* imagePath, const std::u16string& serviceName, std::string* error)
{
    {
        std::lock_guard<std::mutex> lock(g_installMutex);
        g_images[Fold(serviceName)] = imagePath;
    }
    DRIVER_OBJECT* driver = simk::FindDriver(serviceName.c_str());
    if (!driver) {
        const simk::LoadResult loaded = simk::LoadDriver(imagePath, serviceName.c_str());
        driver = loaded.driverObject;
        if (!driver && error)
            *error = loaded.error.empty() ? "DriverEntry failed" : loaded.error;
    }
    return driver;
}

void UninstallDriverPackage(const std::u16string& hardwareId)
{
    std::lock_guard<std::mutex> lock(g_installMutex);
    const std::u16string folded = Fold(hardwareId);
    g_installs.erase(
        std::remove_if(g_installs.begin(), g_installs.end(), [&](const Install& i) { return i.hardwareId == folded; }),
        g_installs.end());
}

void SetDeviceFilters(DeviceNode* node, const std::vector<std::u16string>& upper,
                      const std::vector<std::u16string>& lower)
{
    const std::u16string key = DeviceKeyPath(node);
    WriteMultiString(key, u"UpperFilters", upper);
    WriteMultiString(key, u"LowerFilters", lower);
}

void SetClassFilters(const std::u16string& classGuid, const std::vector<std::u16string>& upper,
                     const std::vector<std::u16string>& lower)
{
    const std::u16string key = ClassKeyPath(classGuid);
    WriteMultiString(key, u"UpperFilters", upper);
    WriteMultiString(key, u"LowerFilters", lower);
}

} // namespace simk::pnp
