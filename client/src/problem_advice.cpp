// What a Windows problem code on a bus or reader device node means and what to do about it: one
// table for the library's device view, the tools and the Python package.
#include "problem_advice.h"

#include "msdscnames.h"

namespace msdsc {

namespace {

// Windows' problem codes (cfg.h's CM_PROB_ values) this table knows.
enum : uint32_t {
    PROBLEM_NOT_CONFIGURED = 1,      // CM_PROB_NOT_CONFIGURED
    PROBLEM_FAILED_START = 10,       // CM_PROB_FAILED_START
    PROBLEM_REINSTALL = 18,          // CM_PROB_REINSTALL
    PROBLEM_DISABLED = 22,           // CM_PROB_DISABLED
    PROBLEM_FAILED_INSTALL = 28,     // CM_PROB_FAILED_INSTALL
    PROBLEM_FAILED_ADD = 31,         // CM_PROB_FAILED_ADD
    PROBLEM_DRIVER_FAILED_LOAD = 39, // CM_PROB_DRIVER_FAILED_LOAD
    PROBLEM_UNSIGNED_DRIVER = 52,    // CM_PROB_UNSIGNED_DRIVER
};

struct Entry {
    uint32_t problem;
    const char* bus;
    const char* reader;
};

// Where Windows logs every device install, with the step that failed.
#define SETUP_LOG "C:\\Windows\\INF\\setupapi.dev.log"

// Only the codes Windows shows while a device still installs end by themselves; every other one
// stays until someone acts, so a wait for a start would only run out.
const Entry ENTRIES[] = {
    {PROBLEM_NOT_CONFIGURED, "Windows is still installing the bus device",
     "Windows is still installing the reader's driver"},
    {PROBLEM_REINSTALL, "Windows is reinstalling the bus driver", "Windows is reinstalling the reader's driver"},
    {PROBLEM_FAILED_INSTALL,
     "no driver is installed for the bus device (code 28): run msdscctl install from the package folder",
     "no function driver is installed for " MSDSC_READER_HARDWARE_ID " (code 28): install your reader driver, "
     "or the sample one from the package (pnputil /add-driver msdscsample.inf /install)"},
    {PROBLEM_FAILED_ADD,
     "msdscbus.sys failed in AddDevice (code 31): its debugger output (DbgPrintEx, msdscbus:) says why",
     "the reader's function driver failed in AddDevice (code 31): its debugger output says why"},
    {PROBLEM_FAILED_START, "the bus device did not start (code 10): see " SETUP_LOG " and the driver's debugger output",
     "the reader's function driver failed its start (code 10): the sample fails it when a value in the hardware "
     "key is missing or not one REG_DWORD, and its debugger output (msdscsample:) names the value"},
    {PROBLEM_DRIVER_FAILED_LOAD,
     "msdscbus.sys did not load (code 39): it is missing, damaged or built for another Windows; install the "
     "package again",
     "the reader's function driver did not load (code 39): it is missing, damaged or built for another Windows; "
     "install it again"},
    {PROBLEM_UNSIGNED_DRIVER,
     "Windows does not trust msdscbus.sys's signature (code 52): turn on test signing (bcdedit /set testsigning on, "
     "restart) and trust the test certificate (trust-test-certificate.cmd in the package)",
     "Windows does not trust the reader driver's signature (code 52): turn on test signing (bcdedit /set "
     "testsigning on, restart) and trust the certificate that signed it"},
    {PROBLEM_DISABLED, "the bus device is disabled (code 22): enable it in Device Manager, or pnputil /enable-device",
     "the reader is disabled (code 22): enable it in Device Manager, or pnputil /enable-device"},
};

} // namespace

ProblemAdvice AdviceForProblem(MsdscDeviceKind kind, uint32_t problem)
{
    if (problem == 0)
        return {"", true};
    for (const Entry& entry : ENTRIES) {
        if (entry.problem != problem)
            continue;
        const bool installing = problem == PROBLEM_NOT_CONFIGURED || problem == PROBLEM_REINSTALL;
        return {kind == MsdscDeviceBus ? entry.bus : entry.reader, installing};
    }
    return {kind == MsdscDeviceBus
                ? "the bus device has a problem this tool has no advice for: Device Manager's device status names it, "
                  "and " SETUP_LOG " tells what the install did"
                : "the reader has a problem this tool has no advice for: Device Manager's device status names it, "
                  "and " SETUP_LOG " tells what the install did",
            false};
}

} // namespace msdsc
