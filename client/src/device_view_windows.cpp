// The device view on Windows: SetupAPI lists every device node of the readers' enumerator, present
// or not (Windows keeps absent ones in the registry), and cfgmgr32 says which are in the device tree
// now, started, or held back by a problem.
#include "device_view.h"

#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>

namespace msdsc {

namespace {

// The first part of the reader's device ID: Plug and Play files the device nodes a bus reports under
// the enumerator named there.
const wchar_t READER_ENUMERATOR[] = L"MicroSDSmartCardBus";
const wchar_t READER_HARDWARE_ID[] = L"MicroSDSmartCardBus\\MicroSDSmartCardReader";
// The bus device is root-enumerated: `msdscctl install` creates it under the ROOT enumerator.
const wchar_t BUS_ENUMERATOR[] = L"ROOT";
const wchar_t BUS_HARDWARE_ID[] = L"Root\\MicroSDSmartCardBus";

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

class CfgmgrDeviceView : public DeviceView {
public:
    NTSTATUS List(std::vector<ReaderDevice>* readers) override {
        readers->clear();
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, READER_ENUMERATOR, nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) {
            // No device node has ever had that enumerator: no reader yet.
            if (GetLastError() == ERROR_INVALID_DATA) return STATUS_SUCCESS;
            return STATUS_UNSUCCESSFUL;
        }
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            if (!HasHardwareId(set, &device, READER_HARDWARE_ID)) continue;
            wchar_t instance[MAX_DEVICE_ID_LEN];
            if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, nullptr)) continue;
            ReaderDevice reader;
            reader.instancePath = Utf8(instance);
            ULONG status = 0, problem = 0;
            // An absent device node has no device instance in the tree: CR_NO_SUCH_DEVINST.
            reader.present = CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS;
            reader.started = reader.present && (status & DN_STARTED) != 0;
            reader.problem = reader.present && (status & DN_HAS_PROBLEM) != 0 ? problem : 0;
            // The bus number the reader reports is its number; Windows keeps it for present nodes only.
            DWORD busNumber = 0;
            const bool reported = reader.present &&
                                  SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_BUSNUMBER, nullptr,
                                                                    reinterpret_cast<BYTE*>(&busNumber),
                                                                    sizeof(busNumber), nullptr);
            if (reported)
                reader.number = busNumber;
            else if (!ReaderNumberFromInstancePath(reader.instancePath, &reader.number))
                continue;
            readers->push_back(reader);
        }
        SetupDiDestroyDeviceInfoList(set);
        std::sort(readers->begin(), readers->end(), [](const ReaderDevice& a, const ReaderDevice& b) {
            return a.number != b.number ? a.number < b.number : a.present > b.present;
        });
        return STATUS_SUCCESS;
    }

    NTSTATUS CountBuses(uint32_t* count) override {
        *count = 0;
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, BUS_ENUMERATOR, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE) return STATUS_UNSUCCESSFUL;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
            if (HasHardwareId(set, &device, BUS_HARDWARE_ID)) ++*count;
        SetupDiDestroyDeviceInfoList(set);
        return STATUS_SUCCESS;
    }
};

}  // namespace

std::unique_ptr<DeviceView> PlatformDeviceView() {
    return std::make_unique<CfgmgrDeviceView>();
}

}  // namespace msdsc
