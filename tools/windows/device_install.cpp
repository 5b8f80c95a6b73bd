// Install and uninstall of the root bus device through SetupAPI and the driver-update call, as
// device-installation tools do: Plug and Play never enumerates a root device by itself, so the
// device node is created here and the INF is bound to it by its hardware ID.
#include "device_install.h"
#include "msdscclient.h"
#include "msdscnames.h"
#include "system_library.h"
#include "windows_helpers.h"

#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <vector>

namespace msdsc::windows {

const wchar_t BUS_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_BUS_HARDWARE_ID);

namespace {

const wchar_t READER_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_READER_HARDWARE_ID);
// The first part of the reader's device ID, under which Plug and Play files its device nodes.
const wchar_t READER_ENUMERATOR[] = MSDSC_WIDE(MSDSC_READER_ENUMERATOR);

// Class names are at most 32 characters with the terminator (cfgmgr32's MAX_CLASS_NAME_LEN, which
// mingw's setupapi.h does not carry).
const DWORD CLASS_NAME_LENGTH = 32;

// SPDRP_HARDWAREID is a multi-string: the one ID, its terminator, and the list's terminator.
std::vector<wchar_t> HardwareIdMultiString()
{
    std::vector<wchar_t> value(BUS_HARDWARE_ID, BUS_HARDWARE_ID + wcslen(BUS_HARDWARE_ID));
    value.push_back(L'\0');
    value.push_back(L'\0');
    return value;
}

InstallOutcome Failed(const char* step, DWORD error)
{
    InstallOutcome outcome;
    outcome.step = step;
    outcome.error = error;
    switch (error) {
    case ERROR_ACCESS_DENIED:
        outcome.advice = "run the tool from an elevated (administrator) command prompt";
        break;
    case ERROR_IN_WOW64:
        outcome.advice = "run the 64-bit tool on 64-bit Windows";
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        outcome.advice = "keep msdscbus.inf and msdscbus.sys together, or give the INF's path";
        break;
    case ERROR_NO_CATALOG_FOR_OEM_INF:
    case ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED:
    case ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED:
    case ERROR_AUTHENTICODE_DISALLOWED:
    case static_cast<DWORD>(TRUST_E_NOSIGNATURE):
        outcome.advice = "the driver package must be signed: enable test signing (bcdedit /set testsigning on, "
                         "restart) and sign msdscbus.cat with a test certificate, see README.md in the package";
        break;
    default:
        break;
    }
    return outcome;
}

// Holds a device information set and destroys it on every path.
bool HasBusHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device) { return HasHardwareId(set, device, BUS_HARDWARE_ID); }

bool NeedsRestart(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    return SetupDiGetDeviceInstallParamsW(set, device, &params) &&
           (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
}

// Removes one device node; `restart` is set when Windows could not finish without a restart
// (the bus vetoes its removal while it has readers).
bool RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* device, bool* restart)
{
    SP_REMOVEDEVICE_PARAMS remove{};
    remove.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    remove.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    remove.Scope = DI_REMOVEDEVICE_GLOBAL;
    // Cleared before each call, so that a call failing without an error is not reported with an
    // older one.
    SetLastError(ERROR_SUCCESS);
    // Wine 8.0's SetupDiSetClassInstallParamsW is a stub that fails without an error. A global
    // removal is what DIF_REMOVE does with the class installer's defaults, so it goes on without.
    if (!SetupDiSetClassInstallParamsW(set, device, &remove.ClassInstallHeader, sizeof(remove)) &&
        GetLastError() != ERROR_SUCCESS)
        return false;
    SetLastError(ERROR_SUCCESS);
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device)) {
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_NOT_SUPPORTED); // failed and said nothing: the platform does not do it
        return false;
    }
    if (NeedsRestart(set, device))
        *restart = true;
    return true;
}

unsigned CountBusDevices(DWORD* error)
{
    DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!set.Valid()) {
        *error = GetLastError();
        return 0;
    }
    unsigned count = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i)
        if (HasBusHardwareId(set.Get(), &device))
            ++count;
    *error = 0;
    return count;
}

} // namespace

std::string ErrorText(DWORD error)
{
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length && text) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
            result.pop_back();
    }
    if (text)
        LocalFree(text);
    char code[32];
    std::snprintf(code, sizeof(code), "error 0x%08lX", static_cast<unsigned long>(error));
    return result.empty() ? std::string(code) : result + " (" + code + ")";
}

InstallOutcome InstallBusDevice(const std::wstring& infPath)
{
    // The driver-update call wants a full path; a relative one names a different file for SetupAPI.
    wchar_t fullPath[MAX_PATH];
    const DWORD length = GetFullPathNameW(infPath.c_str(), MAX_PATH, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        InstallOutcome failed = Failed("find the INF", GetLastError());
        failed.path = Utf8(infPath.c_str());
        return failed;
    }
    InstallOutcome outcome = InstallFromInf(fullPath);
    outcome.path = Utf8(fullPath);
    return outcome;
}

namespace {

// A file SetupAPI cannot read as a Windows INF ([Version] with a signature), or one without a
// device class: not an installation at all, whatever error SetupAPI leaves (Wine leaves none).
InstallOutcome NotAnInf(DWORD error)
{
    InstallOutcome outcome =
        Failed("use the file: not an INF (no [Version] section with a signature and a device class)", error);
    outcome.advice = "give the path of msdscbus.inf, or none for the one next to msdscctl.exe";
    return outcome;
}

} // namespace

InstallOutcome InstallFromInf(const wchar_t* fullPath)
{
    if (GetFileAttributesW(fullPath) == INVALID_FILE_ATTRIBUTES)
        return Failed("find the INF", GetLastError());
    UINT errorLine = 0;
    const HINF inf = SetupOpenInfFileW(fullPath, nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE)
        return NotAnInf(GetLastError());
    SetupCloseInfFile(inf);

    GUID classGuid{};
    wchar_t className[CLASS_NAME_LENGTH];
    if (!SetupDiGetINFClassW(fullPath, &classGuid, className, CLASS_NAME_LENGTH, nullptr))
        return NotAnInf(GetLastError());

    DWORD error = 0;
    const unsigned existing = CountBusDevices(&error);
    if (error)
        return Failed("look for an installed bus device", error);

    InstallOutcome outcome;
    if (existing == 0) {
        DeviceInfoSet set(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
        if (!set.Valid())
            return Failed("create a device information set", GetLastError());
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        // DICD_GENERATE_ID: Windows names the instance ROOT\<class>\NNNN, as for any root device.
        if (!SetupDiCreateDeviceInfoW(set.Get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device))
            return Failed("create the bus device", GetLastError());
        const std::vector<wchar_t> ids = HardwareIdMultiString();
        if (!SetupDiSetDeviceRegistryPropertyW(set.Get(), &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(ids.data()),
                                               static_cast<DWORD>(ids.size() * sizeof(wchar_t))))
            return Failed("set the bus device's hardware ID", GetLastError());
        // Until registered the device node exists only in this set and vanishes with it.
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.Get(), &device))
            return Failed("register the bus device", GetLastError());

        BOOL reboot = FALSE;
        if (!CallUpdateDriverForPlugAndPlayDevices(nullptr, BUS_HARDWARE_ID, fullPath, INSTALLFLAG_FORCE, &reboot)) {
            const DWORD updateError = GetLastError();
            // Leave no device without a driver behind: the next install starts clean.
            bool restart = false;
            RemoveDevice(set.Get(), &device, &restart);
            return Failed("install the driver on the bus device", updateError);
        }
        outcome.step = "created the bus device and installed the driver";
        outcome.restartNeeded = reboot != FALSE;
    } else {
        BOOL reboot = FALSE;
        if (!CallUpdateDriverForPlugAndPlayDevices(nullptr, BUS_HARDWARE_ID, fullPath, INSTALLFLAG_FORCE, &reboot))
            return Failed("update the driver of the installed bus device", GetLastError());
        outcome.step = "a bus device was installed already: updated its driver";
        outcome.restartNeeded = reboot != FALSE;
    }
    outcome.ok = true;
    outcome.devices = existing ? existing : 1;
    return outcome;
}

InstallOutcome UninstallBusDevices()
{
    // Devices not present now are removed too, so no stale node keeps the hardware ID.
    DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!set.Valid())
        return Failed("list the devices", GetLastError());

    InstallOutcome outcome;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i) {
        if (!HasBusHardwareId(set.Get(), &device))
            continue;
        if (!RemoveDevice(set.Get(), &device, &outcome.restartNeeded)) {
            InstallOutcome failed = Failed("remove a bus device", GetLastError());
            failed.devices = outcome.devices;
            return failed;
        }
        ++outcome.devices;
    }
    if (outcome.devices == 0) {
        outcome.step = "no bus device is installed";
        outcome.driverMissing = true;
        return outcome; // not ok: nothing was there to remove
    }
    outcome.ok = true;
    outcome.step = "removed the bus device";
    if (outcome.restartNeeded)
        outcome.advice = "a bus keeps its readers while a client holds the control device; close the client, "
                         "or restart Windows to finish";
    return outcome;
}

InstallOutcome PurgeReaderDevices()
{
    DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, READER_ENUMERATOR, nullptr, DIGCF_ALLCLASSES));
    InstallOutcome outcome;
    if (!set.Valid()) {
        // No device node has ever had that enumerator: nothing to purge.
        if (GetLastError() != ERROR_INVALID_DATA)
            return Failed("list the reader device nodes", GetLastError());
        outcome.ok = true;
        outcome.step = "no reader device node to remove";
        return outcome;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    unsigned kept = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i) {
        if (!HasHardwareId(set.Get(), &device, READER_HARDWARE_ID))
            continue;
        ULONG status = 0, problem = 0;
        // A present reader belongs to a session that holds the control device: never touched here.
        if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS) {
            ++kept;
            continue;
        }
        // DIF_REMOVE with the class installer's defaults: a global removal of the device node and
        // its registry keys, the hardware key with "Number", "Drive", "Log" and "Exists" included.
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set.Get(), &device)) {
            InstallOutcome failed = Failed("remove a reader device node", GetLastError());
            failed.devices = outcome.devices;
            return failed;
        }
        ++outcome.devices;
    }
    outcome.ok = true;
    outcome.step = "removed " + std::to_string(outcome.devices) + " reader device node(s) no longer present; " +
                   std::to_string(kept) + " present kept";
    return outcome;
}

} // namespace msdsc::windows

namespace msdsc::windows {

namespace {

// The problem code of the present bus device, 0 when it has none or Windows does not tell (Wine
// 8.0's node status is a stub).
uint32_t BusProblem()
{
    DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!set.Valid())
        return 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i) {
        if (!HasBusHardwareId(set.Get(), &device))
            continue;
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS && (status & DN_HAS_PROBLEM))
            return problem;
    }
    return 0;
}

// Statuses of an open of the control device (ntstatus.h, which does not mix with windows.h).
const uint32_t OPEN_NO_SUCH_NAME = 0xC0000034u;   // STATUS_OBJECT_NAME_NOT_FOUND
const uint32_t OPEN_NO_SUCH_PATH = 0xC000003Au;   // STATUS_OBJECT_PATH_NOT_FOUND
const uint32_t OPEN_NO_SUCH_DEVICE = 0xC000000Eu; // STATUS_NO_SUCH_DEVICE
const uint32_t OPEN_NO_BUS_YET = 0xC0000184u;     // STATUS_INVALID_DEVICE_STATE

// Whether the driver is loaded, by its control device: any answer but "no such name" comes from the
// driver. Open at once by another session, it is loaded; refused while no bus is registered yet,
// it is loaded but not ready (*busReady false).
bool ControlDeviceAnswers(bool* busReady)
{
    MsdscClient* client = nullptr;
    const uint32_t status = static_cast<uint32_t>(MsdscOpen(&client, nullptr));
    if (client)
        MsdscClose(client, nullptr);
    *busReady = status != OPEN_NO_BUS_YET;
    return status != OPEN_NO_SUCH_NAME && status != OPEN_NO_SUCH_PATH && status != OPEN_NO_SUCH_DEVICE;
}

} // namespace

InstallOutcome CheckDriverLoaded(InstallOutcome outcome, uint32_t timeoutMs)
{
    if (!outcome.ok || outcome.restartNeeded)
        return outcome;
    // The install starts the bus device before it returns; a slow start gets the tool's timeout.
    // GetTickCount wraps every 49 days; the difference of two readings does not mind.
    const DWORD start = GetTickCount();
    uint32_t problem = 0;
    bool loaded = false, busReady = false;
    for (;;) {
        loaded = ControlDeviceAnswers(&busReady);
        if (loaded && busReady)
            return outcome;
        problem = BusProblem();
        uint32_t waitHelps = 1;
        if (problem)
            MsdscProblemAdvice(MsdscDeviceBus, problem, &waitHelps);
        if (!waitHelps || GetTickCount() - start >= timeoutMs)
            break;
        Sleep(100);
    }
    outcome.ok = false;
    outcome.driverMissing = true;
    char step[160];
    if (problem) {
        std::snprintf(step, sizeof(step), "%s, but the bus device did not start: problem code %lu",
                      outcome.step.c_str(), static_cast<unsigned long>(problem));
        outcome.advice = MsdscProblemAdvice(MsdscDeviceBus, problem, nullptr);
    } else if (loaded) {
        std::snprintf(step, sizeof(step), "%s, and the driver loaded, but no bus device started", outcome.step.c_str());
        outcome.advice = "see C:\\Windows\\INF\\setupapi.dev.log and Device Manager's status of the bus device";
    } else {
        std::snprintf(step, sizeof(step), "%s, but the driver did not load: its control device does not open",
                      outcome.step.c_str());
        outcome.advice = "see C:\\Windows\\INF\\setupapi.dev.log and Device Manager's status of the bus device";
    }
    outcome.step = step;
    return outcome;
}

} // namespace msdsc::windows
