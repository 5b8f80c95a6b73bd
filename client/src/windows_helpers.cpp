// Win32 helpers of the client library that the Windows tool and the Wine test link in as well.
#include "windows_helpers.h"

#include <cfgmgr32.h>

#include <cwchar>
#include <vector>

namespace msdsc {

std::string Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}

bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device, const wchar_t* wanted)
{
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
    if (size == 0)
        return false;
    // Two terminators more than reported, in case the stored value lacks them.
    std::vector<wchar_t> ids(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids.data()),
                                           size, nullptr) ||
        type != REG_MULTI_SZ)
        return false;
    for (const wchar_t* id = ids.data(); *id; id += wcslen(id) + 1)
        if (lstrcmpiW(id, wanted) == 0)
            return true;
    return false;
}

bool ForEachInterface(HDEVINFO set, const GUID& interfaceGuid,
                      const std::function<bool(const wchar_t* path, const wchar_t* instanceId)>& visit)
{
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof(entry);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceGuid, i, &entry); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &size, nullptr);
        if (size == 0)
            continue;
        std::vector<unsigned char> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        wchar_t instance[MAX_DEVICE_ID_LEN] = {};
        if (!SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, size, nullptr, &device) ||
            !SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, nullptr))
            continue;
        if (visit(detail->DevicePath, instance))
            return true;
    }
    return false;
}

} // namespace msdsc
