// Stopping the system: a bug check ends the test run with the code and parameters on stderr, the way
// a crash screen reports it; an exception raised with ExRaiseStatus has no handler here and stops too.
#include <cstdio>
#include <cstdlib>

#include "internal.h"

extern "C" {

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4)
{
    std::fflush(stdout);
    PDRIVER_OBJECT driver = simk::detail::CurrentDriver();
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%016llX,0x%016llX,0x%016llX,0x%016llX)%s%s\n", BugCheckCode,
                 (unsigned long long)BugCheckParameter1, (unsigned long long)BugCheckParameter2,
                 (unsigned long long)BugCheckParameter3, (unsigned long long)BugCheckParameter4, driver ? " in " : "",
                 driver ? simk::detail::DriverNameForMessages(driver).c_str() : "");
    std::fflush(stderr);
    std::abort();
}

VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

// Structured exception handling does not exist in the host build, so a raised status can never be
// caught: it is reported as the unhandled kernel-mode exception it would otherwise become.
VOID ExRaiseStatus(NTSTATUS Status)
{
    std::fprintf(stderr, "ExRaiseStatus(0x%08X): raised exceptions cannot be handled in the simulated kernel\n",
                 (unsigned)Status);
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)(ULONG)Status, 0, 0, 0);
}

} // extern "C"
