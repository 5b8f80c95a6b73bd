// The DLLs the tool needs beyond the known DLLs, loaded from System32 only: run elevated from a
// folder anyone can write to (Downloads), a DLL of the same name beside the tool must never be the
// one that runs. Static imports are resolved before wmain, so the tool imports none of these.
#pragma once

#include <windows.h>

namespace msdsc::windows {

// Limits every later DLL load of the process to System32 (SetDefaultDllDirectories). False where
// Windows lacks the call (before Windows 8 without KB2533623); the full paths below still hold.
bool RestrictDllSearchToSystem32();

// UpdateDriverForPlugAndPlayDevicesW of System32's newdev.dll, which is not a known DLL; FALSE with
// the loader's error when that DLL cannot be loaded.
BOOL CallUpdateDriverForPlugAndPlayDevices(HWND parent, const wchar_t* hardwareId, const wchar_t* infPath, DWORD flags,
                                           BOOL* rebootRequired);

} // namespace msdsc::windows
