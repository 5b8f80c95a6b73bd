// System32-only loading of the tool's run-time DLLs (see system_library.h).
#include "system_library.h"

#include <cwchar>

namespace msdsc::windows {

namespace {

// GetProcAddress returns a generic pointer; the exported function's real type is restored here.
template <typename Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads System32\<name> by its full path, and its own imports from System32 too. Windows without
// the search flags refuses them (ERROR_INVALID_PARAMETER); the altered search path then starts at
// the DLL's own folder, which is System32.
HMODULE LoadSystemLibrary(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + std::wcslen(name) >= MAX_PATH) {
        if (length != 0)
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    path[length] = L'\\';
    std::wcscpy(path + length + 1, name);
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

} // namespace

bool RestrictDllSearchToSystem32()
{
    // kernel32 is mapped into every process before the tool runs; looking it up loads nothing.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefault =
        Export<SetDefaultDllDirectoriesFunction>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    return setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

BOOL CallUpdateDriverForPlugAndPlayDevices(HWND parent, const wchar_t* hardwareId, const wchar_t* infPath, DWORD flags,
                                           BOOL* rebootRequired)
{
    using UpdateDriverFunction = BOOL(WINAPI*)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
    // Loaded once and kept for the process: install may call it twice.
    static DWORD loadError = 0;
    static const HMODULE newdev = [] {
        const HMODULE module = LoadSystemLibrary(L"newdev.dll");
        loadError = module ? 0 : GetLastError();
        return module;
    }();
    if (!newdev) {
        SetLastError(loadError);
        return FALSE;
    }
    const auto update = Export<UpdateDriverFunction>(newdev, "UpdateDriverForPlugAndPlayDevicesW");
    if (!update) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return update(parent, hardwareId, infPath, flags, rebootRequired);
}

} // namespace msdsc::windows
