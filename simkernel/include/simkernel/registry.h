// The simulated configuration manager: an in-memory registry of keys and values, the handle table
// behind the kernel's Zw* registry calls, and the view tests use to read back what drivers wrote.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace simk::registry {

// Where Plug and Play keeps per-device state, as on Windows.
inline constexpr char16_t CURRENT_CONTROL_SET[] = u"\\Registry\\Machine\\System\\CurrentControlSet";

struct Value {
    ULONG type = 0;
    std::vector<unsigned char> data;
};

struct NamedValue {
    std::u16string name;
    Value value;
};

// Key paths are full registry paths ("\Registry\Machine\..."), compared case-insensitively; the
// case of the first creation is kept. A trailing backslash is ignored.
bool CreateKey(const std::u16string& path); // creates missing parents too; false if it existed
bool KeyExists(const std::u16string& path);
bool DeleteKey(const std::u16string& path); // with its subkeys; false if absent
std::vector<std::u16string> SubKeyNames(const std::u16string& path);

// Preloads a value as an installer would (no handle, no IRQL rule, no fault injection).
void SetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const void* data, size_t size);
void SetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value);

std::optional<Value> QueryValue(const std::u16string& keyPath, const std::u16string& name);
// Empty when the value is missing, is not REG_DWORD, or is not exactly four bytes.
std::optional<ULONG> QueryDword(const std::u16string& keyPath, const std::u16string& name);
// In the order the values were first written; rewriting a value keeps its place.
std::vector<NamedValue> Values(const std::u16string& keyPath);
std::vector<std::u16string> ValueNames(const std::u16string& keyPath);

// "<CurrentControlSet>\Enum\<instance path>\Device Parameters": the key that
// IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens for a device.
std::u16string DeviceHardwareKeyPath(const std::u16string& instancePath);

// Kernel handles to keys that are open now, in all or opened by one driver's code.
size_t OpenHandleCount();
size_t OpenHandleCount(PDRIVER_OBJECT owner);
// The key a handle refers to, if the handle is open.
std::optional<std::u16string> HandleKeyPath(HANDLE handle);

// For the driver's unload: every key handle the driver still holds is a "HandleLeak" violation.
// Returns how many were found; they are closed afterwards.
size_t CheckHandlesAtUnload(PDRIVER_OBJECT driver);

} // namespace simk::registry
