// The simulated machine behind a C surface, so that a process which only loads shared
// libraries (Python with ctypes) can run the driver in the simulated kernel under the client library.
#include "msdsc_host.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "machine.h"
#include "simkernel/pnp.h"

namespace {

std::mutex g_Lock;
std::unique_ptr<msdsc::machine::Machine> g_Machine;

void CopyText(const std::string& text, char* buffer, uint32_t size)
{
    if (!buffer || size == 0)
        return;
    const size_t length = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

} // namespace

extern "C" MSDSC_HOST_API const char* MsdscHostDefaultDriverImage(void) { return MSDSCBUS_IMAGE; }

static_assert(MSDSC_HOST_MAX_BUSES == msdsc::machine::MAX_BUSES, "msdsc_host.h: the machine's bus bound");

extern "C" MSDSC_HOST_API int32_t MsdscHostStart(const char* driverImage, uint32_t buses, char* error,
                                                 uint32_t errorSize)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    if (g_Machine) {
        CopyText("the simulated machine is running already", error, errorSize);
        return -1;
    }
    auto machine = std::make_unique<msdsc::machine::Machine>();
    std::string reason;
    if (!machine->Load(driverImage ? driverImage : MSDSCBUS_IMAGE, &reason) || !machine->CreateBuses(buses, &reason)) {
        CopyText(reason, error, errorSize);
        return -1;
    }
    g_Machine = std::move(machine);
    return 0;
}

extern "C" MSDSC_HOST_API void MsdscHostStop(void)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    if (!g_Machine)
        return;
    g_Machine->Settle();
    g_Machine.reset();
}

extern "C" MSDSC_HOST_API int32_t MsdscHostRunning(void)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    return g_Machine ? 1 : 0;
}

extern "C" MSDSC_HOST_API int32_t MsdscHostSurpriseRemoveBus(uint32_t index)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    if (!g_Machine || index >= g_Machine->Buses().size())
        return -1;
    simk::pnp::SurpriseRemoveDevice(g_Machine->Buses()[index]);
    g_Machine->Settle();
    return 0;
}

extern "C" MSDSC_HOST_API int32_t MsdscHostUninstallReaderDriver(void)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    if (!g_Machine)
        return -1;
    simk::pnp::ClearChildFunctionDriver();
    return 0;
}

extern "C" MSDSC_HOST_API uint64_t MsdscHostDriverPoolBlocks(void)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    if (!g_Machine)
        return 0;
    g_Machine->Settle();
    return g_Machine->DriverPoolBlocks();
}

extern "C" MSDSC_HOST_API uint32_t MsdscHostViolations(char* text, uint32_t textSize)
{
    std::lock_guard<std::mutex> lock(g_Lock);
    if (!g_Machine) {
        CopyText("", text, textSize);
        return 0;
    }
    const std::vector<std::string> violations = g_Machine->Violations();
    std::string joined;
    for (const std::string& violation : violations)
        joined += violation + "\n";
    CopyText(joined, text, textSize);
    return static_cast<uint32_t>(violations.size());
}
