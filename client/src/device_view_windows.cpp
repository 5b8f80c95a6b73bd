// The device view on Windows: SetupAPI lists every device node of the readers' enumerator, present
// or not (Windows keeps absent ones in the registry), and cfgmgr32 says which are in the device tree
// now, started, or held back by a problem.
#include "device_view.h"
#include "msdscnames.h"
#include "windows_helpers.h"

#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>

namespace msdsc {

namespace {

// The first part of the reader's device ID: Plug and Play files the device nodes a bus reports under
// the enumerator named there.
const wchar_t READER_ENUMERATOR[] = MSDSC_WIDE(MSDSC_READER_ENUMERATOR);
const wchar_t READER_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_READER_HARDWARE_ID);
// The bus device is root-enumerated: `msdscctl install` creates it under the ROOT enumerator.
const wchar_t BUS_ENUMERATOR[] = L"ROOT";
const wchar_t BUS_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_BUS_HARDWARE_ID);

const GUID SAMPLE_INTERFACE = MSDSC_SAMPLE_INTERFACE_GUID_INITIALIZER;

class CfgmgrDeviceView : public DeviceView
{
public:
    NTSTATUS List(std::vector<ReaderDevice>* readers) override
    {
        readers->clear();
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, READER_ENUMERATOR, nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) {
            // No device node has ever had that enumerator: no reader yet.
            if (GetLastError() == ERROR_INVALID_DATA)
                return STATUS_SUCCESS;
            return STATUS_UNSUCCESSFUL;
        }
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            if (!HasHardwareId(set, &device, READER_HARDWARE_ID))
                continue;
            wchar_t instance[MAX_DEVICE_ID_LEN];
            if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, nullptr))
                continue;
            ReaderDevice reader;
            reader.instancePath = Utf8(instance);
            ULONG status = 0, problem = 0;
            // An absent device node has no device instance in the tree: CR_NO_SUCH_DEVINST.
            const CONFIGRET answer = CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0);
            reader.present = answer == CR_SUCCESS;
            reader.started = reader.present && (status & DN_STARTED) != 0;
            reader.problem = reader.present && (status & DN_HAS_PROBLEM) != 0 ? problem : 0;
            // A node in the device tree always carries flags (DN_NT_ENUMERATOR at least): none at all
            // is a Plug and Play that reports no state (Wine 8.0's stub answers so for any node).
            reader.stateReported = !(answer == CR_SUCCESS && status == 0);
            // The bus number the reader reports is its number; Windows keeps it for present nodes only.
            DWORD busNumber = 0;
            const bool reported =
                reader.present &&
                SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_BUSNUMBER, nullptr,
                                                  reinterpret_cast<BYTE*>(&busNumber), sizeof(busNumber), nullptr);
            wchar_t service[MSDSC_DRIVER_NAME_SIZE] = {};
            if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, nullptr,
                                                  reinterpret_cast<BYTE*>(service), sizeof(service) - sizeof(wchar_t),
                                                  nullptr))
                reader.driver = Utf8(service);
            if (reported)
                reader.number = busNumber;
            else if (!ReaderNumberFromInstancePath(reader.instancePath, &reader.number))
                continue;
            if (!reader.stateReported)
                InferState(&reader);
            readers->push_back(reader);
        }
        SetupDiDestroyDeviceInfoList(set);
        std::sort(readers->begin(), readers->end(), [](const ReaderDevice& a, const ReaderDevice& b) {
            return a.number != b.number ? a.number < b.number : a.present > b.present;
        });
        return STATUS_SUCCESS;
    }

    // Wine lists interfaces of readers that are gone too, which do not open; the reader's own one is
    // looked for among all of them.
    NTSTATUS ReadConfiguration(uint32_t number, SampleConfiguration* read) override
    {
        DeviceInfoSet set(
            SetupDiGetClassDevsW(&SAMPLE_INTERFACE, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT));
        if (!set.Valid())
            return STATUS_NOT_FOUND;
        const bool answered =
            ForEachInterface(set.Get(), SAMPLE_INTERFACE, [&](const wchar_t* path, const wchar_t* instance) {
                uint32_t readerNumber = 0;
                if (!ReaderNumberFromInstancePath(Utf8(instance), &readerNumber) || readerNumber != number)
                    return false;
                HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (handle == INVALID_HANDLE_VALUE)
                    return false;
                DWORD returned = 0;
                const bool complete = DeviceIoControl(handle, IOCTL_SAMPLE_GET_CONFIGURATION, nullptr, 0, read,
                                                      sizeof(*read), &returned, nullptr) &&
                                      returned == sizeof(*read);
                CloseHandle(handle);
                return complete;
            });
        return answered ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    }

private:
    // Where Plug and Play reports no node state, what still holds: a sample that answers through its
    // interface has started (its interface opens only while it runs).
    void InferState(ReaderDevice* reader)
    {
        SampleConfiguration read{};
        reader->started = !reader->driver.empty() && NT_SUCCESS(ReadConfiguration(reader->number, &read));
    }

public:
    NTSTATUS CountBuses(uint32_t* count) override
    {
        *count = 0;
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, BUS_ENUMERATOR, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE)
            return STATUS_UNSUCCESSFUL;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i)
            if (HasHardwareId(set, &device, BUS_HARDWARE_ID))
                ++*count;
        SetupDiDestroyDeviceInfoList(set);
        return STATUS_SUCCESS;
    }
};

} // namespace

std::unique_ptr<DeviceView> PlatformDeviceView() { return std::make_unique<CfgmgrDeviceView>(); }

} // namespace msdsc
