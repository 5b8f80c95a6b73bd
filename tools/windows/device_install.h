// Installing and uninstalling the root-enumerated bus device on Windows, the way device-installation
// tools do it: a device node with the bus hardware ID, bound to the driver through the INF.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace msdsc::windows {

extern const wchar_t BUS_HARDWARE_ID[];

struct InstallOutcome {
    bool ok = false;
    bool restartNeeded = false;
    unsigned devices = 0; // devices created, updated or removed
    DWORD error = 0;      // the Win32 / SetupAPI error of the step that failed
    std::string step;     // which step failed, or what was done
    std::string advice;   // what the user can do about it
    std::string path;     // the INF tried, in full (UTF-8); empty for uninstall and purge
    // Failed because the driver or its bus device is not there (the install's driver did not load,
    // nothing to uninstall), not because a step was refused: the tools' exit 3 rather than 1.
    bool driverMissing = false;
};

// Creates the bus device and installs the INF's driver on it; when a bus device exists already,
// only its driver is updated from the INF.
// The outcome names the INF's full path.
InstallOutcome InstallBusDevice(const std::wstring& infPath);
// The same for a full path.
InstallOutcome InstallFromInf(const wchar_t* fullPath);
// After a successful install: whether the driver loaded (its control device opens and a bus is
// registered), waiting up to timeoutMs; if not, the outcome fails with the bus device's problem
// code and its advice, where Windows tells one.
InstallOutcome CheckDriverLoaded(InstallOutcome installed, uint32_t timeoutMs);
// Removes every device (present or not) that has the bus hardware ID.
InstallOutcome UninstallBusDevices();
// Removes the device nodes of readers that are no longer present. The driver never reuses a reader
// number while it stays loaded, so every add and remove leaves one node behind in the registry.
InstallOutcome PurgeReaderDevices();

// The system's text for a Win32 or SetupAPI error, without the trailing line break.
std::string ErrorText(DWORD error);

} // namespace msdsc::windows
