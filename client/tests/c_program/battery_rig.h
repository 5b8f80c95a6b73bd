/* The C battery rig's entry, for its harness: the run's status and what the callback saw; NULL, or
 * the check of the rig's own that failed. */
#ifndef BATTERY_RIG_H
#define BATTERY_RIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct BatteryRigResult {
    int32_t status;
    uint32_t failed, ended, passed, skipped, cycles;
};

const char* RunBatteryRig(char* transcript, size_t size, struct BatteryRigResult* result);

#ifdef __cplusplus
}
#endif

#endif
