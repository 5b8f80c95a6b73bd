// The configuration manager: an in-memory registry, kernel handles to its keys, and the kernel calls
// drivers use on them (IoOpenDeviceRegistryKey, ZwSetValueKey, ZwClose, ...).
#include "simkernel/registry.h"
#include "simkernel/kernel.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace {

constexpr NTSTATUS STATUS_KEY_DELETED_CODE = static_cast<NTSTATUS>(0xC000017Cu);

struct Key {
    std::u16string path; // as first created
    std::vector<simk::registry::NamedValue> values;
};

struct OpenHandle {
    std::u16string folded; // the key's folded path
    ACCESS_MASK access = 0;
    PDRIVER_OBJECT owner = nullptr; // the driver whose code opened it; null for the kernel
};

std::mutex g_mutex;
std::map<std::u16string, Key> g_keys; // by folded path
std::map<ULONG_PTR, OpenHandle> g_handles;
ULONG_PTR g_nextHandle;

// Kernel handles have the top bit set and are multiples of four, as on x64 Windows.
constexpr ULONG_PTR KERNEL_HANDLE_BASE = 0xFFFFFFFF80000000ull;

char16_t FoldChar(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string Fold(const std::u16string& s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = FoldChar(c);
    return out;
}

std::u16string Trim(const std::u16string& path)
{
    std::u16string p(path);
    while (p.size() > 1 && p.back() == u'\\')
        p.pop_back();
    return p;
}

bool SameName(const std::u16string& a, const std::u16string& b) { return Fold(a) == Fold(b); }

// Requires g_mutex.
Key& CreateLocked(const std::u16string& rawPath, bool* created)
{
    const std::u16string path = Trim(rawPath);
    *created = false;
    for (size_t pos = path.find(u'\\', 1); pos != std::u16string::npos; pos = path.find(u'\\', pos + 1)) {
        const std::u16string parent = path.substr(0, pos);
        auto [it, inserted] = g_keys.try_emplace(Fold(parent));
        if (inserted)
            it->second.path = parent;
    }
    auto [it, inserted] = g_keys.try_emplace(Fold(path));
    if (inserted) {
        it->second.path = path;
        *created = true;
    }
    return it->second;
}

Key* FindLocked(const std::u16string& path)
{
    auto it = g_keys.find(Fold(Trim(path)));
    return it == g_keys.end() ? nullptr : &it->second;
}

void SetLocked(Key& key, const std::u16string& name, ULONG type, const void* data, size_t size)
{
    simk::registry::Value value;
    value.type = type;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (size)
        value.data.assign(bytes, bytes + size);
    for (auto& existing : key.values) {
        if (SameName(existing.name, name)) {
            existing.value = std::move(value);
            return;
        }
    }
    key.values.push_back({name, std::move(value)});
}

// The generic rights mapped onto a key's specific rights, as the object manager does for keys.
ACCESS_MASK MapAccess(ACCESS_MASK desired)
{
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        return KEY_ALL_ACCESS;
    ACCESS_MASK granted = desired & KEY_ALL_ACCESS;
    if (desired & GENERIC_READ)
        granted |= KEY_READ;
    if (desired & GENERIC_WRITE)
        granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= KEY_READ; // KEY_EXECUTE is KEY_READ
    return granted;
}

std::u16string FromUnicodeString(const UNICODE_STRING* s)
{
    if (!s || !s->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

HANDLE OpenLocked(const std::u16string& folded, ACCESS_MASK access, PDRIVER_OBJECT owner)
{
    g_nextHandle += 4;
    const ULONG_PTR value = KERNEL_HANDLE_BASE + g_nextHandle;
    g_handles[value] = OpenHandle{folded, MapAccess(access), owner};
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

namespace simk::registry {

bool CreateKey(const std::u16string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    bool created = false;
    CreateLocked(path, &created);
    return created;
}

bool KeyExists(const std::u16string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return FindLocked(path) != nullptr;
}

bool DeleteKey(const std::u16string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::u16string folded = Fold(Trim(path));
    auto it = g_keys.find(folded);
    if (it == g_keys.end())
        return false;
    const std::u16string prefix = folded + u'\\';
    for (auto sub = g_keys.begin(); sub != g_keys.end();) {
        if (sub->first == folded || sub->first.compare(0, prefix.size(), prefix) == 0)
            sub = g_keys.erase(sub);
        else
            ++sub;
    }
    return true;
}

std::vector<std::u16string> SubKeyNames(const std::u16string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::u16string> names;
    const std::u16string prefix = Fold(Trim(path)) + u'\\';
    for (const auto& [folded, key] : g_keys) {
        if (folded.size() > prefix.size() && folded.compare(0, prefix.size(), prefix) == 0 &&
            folded.find(u'\\', prefix.size()) == std::u16string::npos)
            names.push_back(key.path.substr(prefix.size()));
    }
    return names;
}

void SetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const void* data, size_t size)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    bool created = false;
    SetLocked(CreateLocked(keyPath, &created), name, type, data, size);
}

void SetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value)
{
    SetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

std::optional<Value> QueryValue(const std::u16string& keyPath, const std::u16string& name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const Key* key = FindLocked(keyPath);
    if (!key)
        return std::nullopt;
    for (const auto& v : key->values)
        if (SameName(v.name, name))
            return v.value;
    return std::nullopt;
}

std::optional<ULONG> QueryDword(const std::u16string& keyPath, const std::u16string& name)
{
    auto value = QueryValue(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG))
        return std::nullopt;
    ULONG out;
    std::memcpy(&out, value->data.data(), sizeof(out));
    return out;
}

std::vector<NamedValue> Values(const std::u16string& keyPath)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const Key* key = FindLocked(keyPath);
    return key ? key->values : std::vector<NamedValue>{};
}

std::vector<std::u16string> ValueNames(const std::u16string& keyPath)
{
    std::vector<std::u16string> names;
    for (const auto& v : Values(keyPath))
        names.push_back(v.name);
    return names;
}

std::u16string DeviceHardwareKeyPath(const std::u16string& instancePath)
{
    return std::u16string(CURRENT_CONTROL_SET) + u"\\Enum\\" + instancePath + u"\\Device Parameters";
}

size_t OpenHandleCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_handles.size();
}

size_t OpenHandleCount(PDRIVER_OBJECT owner)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<size_t>(
        std::count_if(g_handles.begin(), g_handles.end(), [&](const auto& h) { return h.second.owner == owner; }));
}

std::optional<std::u16string> HandleKeyPath(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == g_handles.end())
        return std::nullopt;
    auto key = g_keys.find(it->second.folded);
    return key == g_keys.end() ? it->second.folded : key->second.path;
}

size_t CheckHandlesAtUnload(PDRIVER_OBJECT driver)
{
    std::vector<std::u16string> leaked;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto it = g_handles.begin(); it != g_handles.end();) {
            if (driver && it->second.owner == driver) {
                auto key = g_keys.find(it->second.folded);
                leaked.push_back(key == g_keys.end() ? it->second.folded : key->second.path);
                it = g_handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& path : leaked)
        simk::detail::rule::HandleLeak(driver, path);
    return leaked.size();
}

} // namespace simk::registry

namespace simk::detail {

void ResetRegistry()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_keys.clear();
    g_handles.clear();
    g_nextHandle = 0;
}

// Used by the Plug and Play manager when it gives a new device node its hardware key.
void EnsureDeviceHardwareKey(const std::u16string& instancePath)
{
    simk::registry::CreateKey(simk::registry::DeviceHardwareKeyPath(instancePath));
}

} // namespace simk::detail

extern "C" {

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoOpenDeviceRegistryKey");
    NTSTATUS injected;
    if (simk::detail::ShouldFail(simk::Call::IoOpenDeviceRegistryKey, &injected))
        return injected;
    if (!DeviceRegKey)
        return STATUS_INVALID_PARAMETER;
    std::u16string instancePath;
    if (!DeviceObject || !simk::pnp::detail::InstancePathOfPdo(DeviceObject, &instancePath))
        return STATUS_INVALID_DEVICE_REQUEST;
    // Only the device (hardware) key is kept: the driver's software key lives under the class
    // key, which nothing in this system installs.
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(g_mutex);
    bool created = false;
    CreateLocked(simk::registry::DeviceHardwareKeyPath(instancePath), &created);
    *DeviceRegKey = OpenLocked(Fold(Trim(simk::registry::DeviceHardwareKeyPath(instancePath))), DesiredAccess,
                               simk::detail::CurrentDriver());
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    (void)TitleIndex;
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlZwPassive, "ZwSetValueKey");
    NTSTATUS injected;
    if (simk::detail::ShouldFail(simk::Call::ZwSetValueKey, &injected))
        return injected;
    if (!ValueName)
        return STATUS_INVALID_PARAMETER;
    if (DataSize && !Data)
        return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(g_mutex);
    auto handle = g_handles.find(reinterpret_cast<ULONG_PTR>(KeyHandle));
    if (handle == g_handles.end())
        return STATUS_INVALID_HANDLE;
    if (!(handle->second.access & KEY_SET_VALUE))
        return STATUS_ACCESS_DENIED;
    auto key = g_keys.find(handle->second.folded);
    if (key == g_keys.end())
        return STATUS_KEY_DELETED_CODE;
    SetLocked(key->second, FromUnicodeString(ValueName), Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlZwPassive, "ZwQueryValueKey");
    if (!ValueName || !ResultLength)
        return STATUS_INVALID_PARAMETER;
    // Only the partial form is kept: it is the one drivers read their parameters with.
    if (KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(g_mutex);
    auto handle = g_handles.find(reinterpret_cast<ULONG_PTR>(KeyHandle));
    if (handle == g_handles.end())
        return STATUS_INVALID_HANDLE;
    if (!(handle->second.access & KEY_QUERY_VALUE))
        return STATUS_ACCESS_DENIED;
    auto key = g_keys.find(handle->second.folded);
    if (key == g_keys.end())
        return STATUS_KEY_DELETED_CODE;
    const std::u16string name = FromUnicodeString(ValueName);
    const simk::registry::Value* value = nullptr;
    for (const auto& v : key->second.values)
        if (SameName(v.name, name))
            value = &v.value;
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;

    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG dataLength = static_cast<ULONG>(value->data.size());
    *ResultLength = header + dataLength;
    if (Length < header || !KeyValueInformation)
        return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = dataLength;
    if (Length < header + dataLength)
        return STATUS_BUFFER_OVERFLOW;
    if (dataLength)
        std::memcpy(info->Data, value->data.data(), dataLength);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlZwPassive, "ZwClose");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_handles.erase(reinterpret_cast<ULONG_PTR>(Handle)))
            return STATUS_SUCCESS;
    }
    if (simk::detail::CloseObjectHandle(Handle))
        return STATUS_SUCCESS;
    // Windows stops with INVALID_KERNEL_HANDLE when a driver closes a handle it does not have.
    simk::detail::rule::InvalidKernelHandle(Handle);
    return STATUS_INVALID_HANDLE;
}

} // extern "C"
