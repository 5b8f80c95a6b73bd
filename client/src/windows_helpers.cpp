// Win32 helpers of the client library that the Windows tool and the Wine test link in as well.
#include "windows_helpers.h"

#include <cwchar>
#include <vector>

namespace msdsc {

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}

bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device, const wchar_t* wanted) {
    DWORD type = 0, size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
    if (size == 0) return false;
    // Two terminators more than reported, in case the stored value lacks them.
    std::vector<wchar_t> ids(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids.data()),
                                           size, nullptr) ||
        type != REG_MULTI_SZ)
        return false;
    for (const wchar_t* id = ids.data(); *id; id += wcslen(id) + 1)
        if (lstrcmpiW(id, wanted) == 0) return true;
    return false;
}

}  // namespace msdsc
