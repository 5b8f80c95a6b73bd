// Device interfaces (IoRegisterDeviceInterface, IoSetDeviceInterfaceState, RtlFreeUnicodeString of
// the link they hand out) and the power manager's PoRequestPowerIrp, which a power policy owner
// calls in answer to a system power request.
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct Interface {
    std::u16string instancePath; // of the device node the interface belongs to
    GUID guid{};
    bool enabled = false;
};

std::mutex g_mutex;
// By folded symbolic link name.
std::map<std::u16string, Interface> g_interfaces;

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

} // namespace

namespace simk::pnp {

std::vector<DeviceInterface> DeviceInterfaces(const GUID& guid)
{
    // Copied under the interfaces' lock and resolved after it: the manager's lock is never taken
    // inside it (a driver enables an interface while the manager holds its own).
    std::vector<std::pair<std::u16string, std::u16string>> enabled; // link name, instance path
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const auto& [folded, entry] : g_interfaces)
            if (entry.enabled && std::memcmp(&entry.guid, &guid, sizeof(GUID)) == 0)
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
    return STATUS_SUCCESS;
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
