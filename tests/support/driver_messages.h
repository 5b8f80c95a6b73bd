// What the driver told a kernel debugger, as the simulated kernel kept it: the driver's own lines
// (its component, its name first) and whether one of them was an error the default filter shows.
#pragma once

#include <ntddk.h>

#include <vector>

#include "simkernel/debug.h"

namespace msdsc::testing {

// The driver's messages since the kernel was reset, in order.
inline std::vector<simk::debug::Message> DriverMessages()
{
    std::vector<simk::debug::Message> out;
    for (const simk::debug::Message& message : simk::debug::Messages()) {
        if (message.component == DPFLTR_IHVDRIVER_ID && message.text.rfind("msdscbus: ", 0) == 0) {
            out.push_back(message);
        }
    }
    return out;
}

// How many of the driver's messages are errors a debugger sees without asking for the driver.
inline size_t ShownDriverErrors()
{
    size_t shown = 0;
    for (const simk::debug::Message& message : DriverMessages()) {
        if (message.level == DPFLTR_ERROR_LEVEL && message.shown) {
            ++shown;
        }
    }
    return shown;
}

} // namespace msdsc::testing
