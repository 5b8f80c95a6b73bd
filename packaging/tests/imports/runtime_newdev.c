/* The same call with newdev.dll loaded at run time from System32: the import table holds only
 * kernel32.dll and the C run time. */
#include <windows.h>

typedef BOOL(WINAPI* UpdateDriver)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);

int main(void)
{
    HMODULE newdev = LoadLibraryExW(L"newdev.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    UpdateDriver update =
        newdev ? (UpdateDriver)(void (*)(void))GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW") : NULL;
    BOOL reboot = FALSE;
    return update && update(NULL, L"Root\\None", L"C:\\none.inf", 0, &reboot) ? 0 : 1;
}
