// The kernel debugger's side of DbgPrintEx: every message a driver printed, with its component and
// level, and whether the debug filter in effect would have let it through to a debugger.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace simk::debug {

struct Message {
    ULONG component;
    ULONG level; // the level number (0 error ... 3 info), or the mask a driver passed instead
    std::string text;
    bool shown; // the filter let it through
};

// Every message since the kernel was reset, in order. Shown ones are also written to stderr when
// the environment variable SIMK_DBGPRINT is set.
std::vector<Message> Messages();

// As the "Debug Print Filter" registry value or `ed nt!Kd_IHVDRIVER_Mask` set it: the levels of a
// component shown beyond the default (errors only). Reset with the kernel.
void SetComponentMask(ULONG component, ULONG mask);

} // namespace simk::debug
