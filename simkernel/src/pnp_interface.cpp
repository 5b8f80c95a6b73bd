// Device interfaces (IoRegisterDeviceInterface, IoSetDeviceInterfaceState, RtlFreeUnicodeString of
// the link they hand out) and the notifications of their arrival and removal
// (IoRegisterPlugPlayNotification for EventCategoryDeviceInterfaceChange), which drivers and a
// test's InterfaceWatch register for alike.
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"

#include <wdmguid.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Interface {
    std::u16string instancePath; // of the device node the interface belongs to
    GUID guid{};
    bool enabled = false;
};

// A registration for a class's interface changes: a driver's callback, or a test's watch.
struct Registration {
    unsigned long long id = 0;
    GUID guid{};
    PDRIVER_OBJECT driver = nullptr; // null for a test's watch
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = nullptr;
    PVOID context = nullptr;
    std::function<void(bool arrival, const std::u16string& link)> watch;
    unsigned running = 0; // deliveries under way; an unregistration waits for them
};

std::mutex g_mutex;
std::condition_variable g_deliveryDone;
// By folded symbolic link name; the name as registered is kept for the notifications.
std::map<std::u16string, Interface> g_interfaces;
std::map<std::u16string, std::u16string> g_linkNames;
std::map<unsigned long long, std::unique_ptr<Registration>> g_registrations;
unsigned long long g_nextRegistration = 1;
// The registration whose callback this thread is running: it may unregister itself from there.
thread_local const Registration* t_delivering = nullptr;

// The tag Windows gives the link names it allocates for a driver ("PnP" + 'i'); the driver frees
// them with RtlFreeUnicodeString.
constexpr ULONG INTERFACE_NAME_TAG = 0x69506E50;

std::u16string Fold(std::u16string text)
{
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
    return text;
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + 38);
}

std::u16string FromUnicode(PCUNICODE_STRING text)
{
    if (!text || !text->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

Registration* FindRegistration(PVOID entry)
{
    for (auto& [id, registration] : g_registrations)
        if (registration.get() == entry)
            return registration.get();
    return nullptr;
}

// One delivery to one registration, on the calling thread at PASSIVE_LEVEL, in the driver's scope.
void Deliver(Registration* registration, bool arrival, const GUID& guid, const std::u16string& link,
             std::unique_lock<std::mutex>& lock)
{
    ++registration->running;
    lock.unlock();
    t_delivering = registration;
    if (registration->watch) {
        registration->watch(arrival, Fold(link));
    } else {
        std::u16string text = link;
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(text.data());
        name.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
        notification.Version = 1;
        notification.Size = sizeof(notification);
        notification.Event = arrival ? GUID_DEVICE_INTERFACE_ARRIVAL : GUID_DEVICE_INTERFACE_REMOVAL;
        notification.InterfaceClassGuid = guid;
        notification.SymbolicLinkName = &name;
        const KIRQL irql = simk::detail::ThreadIrql();
        const ULONG regions = simk::detail::ThreadCriticalRegionDepth();
        {
            simk::detail::DriverScope scope(registration->driver);
            registration->callback(&notification, registration->context);
        }
        if (simk::detail::ThreadIrql() != irql)
            simk::detail::rule::DispatchIrqlChanged("the notification callback", nullptr, irql,
                                                    simk::detail::ThreadIrql());
        if (simk::detail::ThreadCriticalRegionDepth() != regions)
            simk::detail::rule::CriticalRegions("the notification callback", nullptr, regions,
                                                simk::detail::ThreadCriticalRegionDepth());
    }
    t_delivering = nullptr;
    lock.lock();
    --registration->running;
    g_deliveryDone.notify_all();
}

// A change of an interface's state, under g_mutex: queued for the registrations of its class as
// they are now, each reached only if still registered when the manager's worker gets to it.
void Announce(const Interface& entry, const std::u16string& link, bool arrival)
{
    std::vector<unsigned long long> targets;
    for (const auto& [id, registration] : g_registrations)
        if (IsEqualGUID(registration->guid, entry.guid))
            targets.push_back(id);
    if (targets.empty())
        return;
    const GUID guid = entry.guid;
    simk::pnp::detail::QueueNotification([targets, guid, link, arrival] {
        std::unique_lock<std::mutex> lock(g_mutex);
        for (unsigned long long id : targets) {
            auto it = g_registrations.find(id);
            if (it != g_registrations.end())
                Deliver(it->second.get(), arrival, guid, link, lock);
        }
    });
}

NTSTATUS Register(Registration registration, bool includeExisting, PVOID* entry)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    registration.id = g_nextRegistration++;
    auto owned = std::make_unique<Registration>(std::move(registration));
    Registration* made = owned.get();
    g_registrations.emplace(made->id, std::move(owned));
    if (includeExisting) {
        // Windows calls back for each interface already on before the registration returns.
        std::vector<std::u16string> on;
        for (const auto& [folded, interface] : g_interfaces)
            if (interface.enabled && IsEqualGUID(interface.guid, made->guid))
                on.push_back(g_linkNames[folded]);
        for (const std::u16string& link : on)
            Deliver(made, true, made->guid, link, lock);
    }
    *entry = made;
    return STATUS_SUCCESS;
}

NTSTATUS Unregister(PVOID entry, const char* function)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    Registration* registration = FindRegistration(entry);
    if (!registration) {
        lock.unlock();
        simk::detail::rule::NotificationEntryUnknown(entry, function);
        return STATUS_INVALID_PARAMETER;
    }
    // No callback runs once this returns; the one running on this very thread is its caller.
    g_deliveryDone.wait(lock, [&] { return registration->running == (t_delivering == registration ? 1u : 0u); });
    g_registrations.erase(registration->id);
    return STATUS_SUCCESS;
}

} // namespace

namespace simk::pnp {

std::vector<RegisteredInterface> RegisteredInterfaces(const GUID& guid)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<RegisteredInterface> out;
    for (const auto& [folded, entry] : g_interfaces)
        if (IsEqualGUID(entry.guid, guid))
            out.push_back({folded, entry.instancePath, entry.enabled});
    return out;
}

struct InterfaceWatch::Record {
    mutable std::mutex mutex;
    std::vector<InterfaceEvent> events;
};

InterfaceWatch::InterfaceWatch(const GUID& interfaceClass, bool includeExisting) : m_Record(std::make_shared<Record>())
{
    Registration registration;
    registration.guid = interfaceClass;
    registration.watch = [record = m_Record](bool arrival, const std::u16string& link) {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->events.push_back({arrival, link});
    };
    Register(std::move(registration), includeExisting, &m_Entry);
}

InterfaceWatch::~InterfaceWatch()
{
    bool registered;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        registered = FindRegistration(m_Entry) != nullptr; // a kernel reset forgets it
    }
    if (registered)
        Unregister(m_Entry, "InterfaceWatch");
}

std::vector<InterfaceEvent> InterfaceWatch::Events() const
{
    std::lock_guard<std::mutex> lock(m_Record->mutex);
    return m_Record->events;
}

std::vector<DeviceInterface> DeviceInterfaces(const GUID& guid)
{
    // Copied under the interfaces' lock and resolved after it: the manager's lock is never taken
    // inside it (a driver enables an interface while the manager holds its own).
    std::vector<std::pair<std::u16string, std::u16string>> enabled; // link name, instance path
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const auto& [folded, entry] : g_interfaces)
            if (entry.enabled && IsEqualGUID(entry.guid, guid))
                enabled.emplace_back(folded, entry.instancePath);
    }
    std::vector<DeviceInterface> out;
    for (const auto& [link, instancePath] : enabled) {
        // A device that is gone takes its interfaces with it, as the manager disables them at its removal.
        DeviceNode* node = FindNode(instancePath);
        if (node)
            out.push_back({link, node, Pdo(node)});
    }
    return out;
}

} // namespace simk::pnp

namespace simk::pnp::detail {

void ResetInterfaces()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_interfaces.clear();
    g_linkNames.clear();
    g_registrations.clear();
}

void DisableInterfacesOf(const std::u16string& instancePath)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::u16string device = Fold(instancePath);
    for (auto& [folded, entry] : g_interfaces) {
        if (!entry.enabled || Fold(entry.instancePath) != device)
            continue;
        entry.enabled = false;
        Announce(entry, g_linkNames[folded], false);
    }
}

void CheckNotificationsAtUnload(PDRIVER_OBJECT driver, const char* when)
{
    size_t left = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto it = g_registrations.begin(); it != g_registrations.end();) {
            if (it->second->driver == driver && it->second->running == 0) {
                ++left;
                it = g_registrations.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (left != 0)
        simk::detail::rule::NotificationLeakOnUnload(driver, left, when);
}

} // namespace simk::pnp::detail

extern "C" {

// IoRegisterDeviceInterface (wdm.h): PhysicalDeviceObject must be a PDO with a device node; the
// link name "\??\<instance path, '\' as '#'>#{guid}[\reference]" is allocated for the caller, who
// frees it with RtlFreeUnicodeString. Registering the same interface again returns the same name.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoRegisterDeviceInterface");
    if (!InterfaceClassGuid || !SymbolicLinkName)
        return STATUS_INVALID_PARAMETER;
    std::u16string instancePath;
    if (!PhysicalDeviceObject || !simk::pnp::detail::InstancePathOfPdo(PhysicalDeviceObject, &instancePath))
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string name = u"\\??\\" + instancePath;
    std::replace(name.begin() + 4, name.end(), u'\\', u'#');
    name += u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length)
        name += u"\\" + FromUnicode(ReferenceString);

    const SIZE_T bytes = (name.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, INTERFACE_NAME_TAG));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);

    std::lock_guard<std::mutex> lock(g_mutex);
    Interface& entry = g_interfaces[Fold(name)];
    entry.instancePath = instancePath;
    entry.guid = *InterfaceClassGuid;
    g_linkNames.emplace(Fold(name), name);
    return STATUS_SUCCESS;
}

// IoSetDeviceInterfaceState (wdm.h): enabling an enabled interface returns
// STATUS_OBJECT_NAME_EXISTS, disabling one that is not enabled STATUS_OBJECT_NAME_NOT_FOUND; a name
// never registered is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoSetDeviceInterfaceState");
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_interfaces.find(Fold(FromUnicode(SymbolicLinkName)));
    if (it == g_interfaces.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.enabled == (Enable != FALSE))
        return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    it->second.enabled = Enable != FALSE;
    Announce(it->second, g_linkNames[it->first], it->second.enabled);
    return STATUS_SUCCESS;
}

// IoRegisterPlugPlayNotification (wdm.h): only EventCategoryDeviceInterfaceChange is modelled (the
// target-device and hardware-profile categories are refused with STATUS_NOT_IMPLEMENTED);
// EventCategoryData is the interface class. The callback runs at PASSIVE_LEVEL, for the existing
// interfaces (PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) before this returns, for
// later changes from the manager's work queue. A driver unregisters before it unloads.
NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory, ULONG EventCategoryFlags,
                                        PVOID EventCategoryData, PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine, PVOID Context,
                                        PVOID* NotificationEntry)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoRegisterPlugPlayNotification");
    if (EventCategory == EventCategoryHardwareProfileChange || EventCategory == EventCategoryTargetDeviceChange ||
        EventCategory == EventCategoryKernelSoftRestart)
        return STATUS_NOT_IMPLEMENTED;
    if (EventCategory != EventCategoryDeviceInterfaceChange || !EventCategoryData || !DriverObject ||
        !CallbackRoutine || !NotificationEntry)
        return STATUS_INVALID_PARAMETER;
    Registration registration;
    registration.guid = *static_cast<const GUID*>(EventCategoryData);
    registration.driver = DriverObject;
    registration.callback = CallbackRoutine;
    registration.context = Context;
    return Register(std::move(registration),
                    (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) != 0,
                    NotificationEntry);
}

// IoUnregisterPlugPlayNotificationEx (wdm.h): once it returns, the callback is not running and is
// never called again; it may be called from the callback itself.
NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive,
                              "IoUnregisterPlugPlayNotificationEx");
    return Unregister(NotificationEntry, "IoUnregisterPlugPlayNotificationEx");
}

// IoUnregisterPlugPlayNotification (wdm.h): the older form, modelled as the one above.
NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoUnregisterPlugPlayNotification");
    return Unregister(NotificationEntry, "IoUnregisterPlugPlayNotification");
}

// RtlFreeUnicodeString (wdm.h): frees a string a routine allocated for the caller.
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (!UnicodeString || !UnicodeString->Buffer)
        return;
    ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

} // extern "C"
