// Kernel-mode interface of the simulated Windows kernel; the same interface as wdm.h.
#pragma once

#include <wdm.h>
