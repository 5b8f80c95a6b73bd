/* A tool that imports newdev.dll at load, which Windows resolves before main, from the tool's own
 * folder first. */
#include <windows.h>
#include <newdev.h>

int main(void)
{
    BOOL reboot = FALSE;
    return UpdateDriverForPlugAndPlayDevicesW(NULL, L"Root\\None", L"C:\\none.inf", 0, &reboot) ? 0 : 1;
}
