// The meaning of a Windows problem code (CM_PROB_*) on a bus or reader device node, with what to do
// about it, and whether waiting can end it.
#pragma once

#include <cstdint>

#include "msdscclient.h"

namespace msdsc {

struct ProblemAdvice {
    const char* text; // one sentence, static storage; empty for problem 0
    bool waitHelps;   // no problem, or one Windows shows while the device still installs
};

ProblemAdvice AdviceForProblem(MsdscDeviceKind kind, uint32_t problem);

} // namespace msdsc
