// What the client library, the Windows tool and the Wine test's client all need of Win32 around the
// devices they look at: wide text as UTF-8, a SetupAPI device list that is destroyed once, whether
// a device carries a hardware ID, and the walk over a device interface's instances. Built into each from this one source, since the library
// exports only its C surface.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <functional>
#include <string>

namespace msdsc {

// UTF-8 of a terminated wide string; empty for an empty one.
std::string Utf8(const wchar_t* text);

// Owns a SetupAPI device information list: destroyed once, on every path.
class DeviceInfoSet
{
public:
    explicit DeviceInfoSet(HDEVINFO set) : m_Set(set) {}
    ~DeviceInfoSet()
    {
        if (Valid())
            SetupDiDestroyDeviceInfoList(m_Set);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    bool Valid() const { return m_Set != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return m_Set; }

private:
    HDEVINFO m_Set;
};

// Whether `wanted` is among the device's hardware IDs, compared as Windows compares them (case
// folded); false when the device has none or they cannot be read.
bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device, const wchar_t* wanted);

// Each interface of `interfaceGuid` in `set` (a list made with DIGCF_DEVICEINTERFACE), with the
// path that opens it and the instance ID of its device, until `visit` returns true; whether one did.
// An interface whose path or device cannot be read is passed over.
bool ForEachInterface(HDEVINFO set, const GUID& interfaceGuid,
                      const std::function<bool(const wchar_t* path, const wchar_t* instanceId)>& visit);

} // namespace msdsc
