/* A test rig in C that runs the reader-driver battery through the shipped headers alone, as a test
 * engineer's own rig would, and keeps what each scenario's end reported. */
#include <stdio.h>
#include <string.h>

#include "msdscclient.h"
#include "msdscbattery.h"
#include "battery_rig.h"

struct Rig {
    char* transcript;
    size_t size;
    size_t used;
    unsigned ended, passed, failed, skipped, cycles;
};

static void Append(struct Rig* rig, const char* text)
{
    const int written = snprintf(rig->transcript + rig->used, rig->size - rig->used, "%s\n", text);
    if (written > 0 && (size_t)written < rig->size - rig->used)
        rig->used += (size_t)written;
}

static void MSDSC_CALL OnEvent(void* context, MsdscBatteryEvent event, const MsdscScenarioReport* report)
{
    struct Rig* rig = (struct Rig*)context;
    char line[512];
    if (event == MsdscBatteryCycle) {
        ++rig->cycles;
        return;
    }
    if (event != MsdscBatteryScenarioEnded)
        return;
    ++rig->ended;
    rig->passed += report->outcome == MsdscBatteryPassed;
    rig->failed += report->outcome == MsdscBatteryFailed;
    rig->skipped += report->outcome == MsdscBatterySkipped;
    snprintf(line, sizeof(line), "%u %s %s: %s", (unsigned)report->number, report->name,
             report->outcome == MsdscBatteryPassed   ? "passed"
             : report->outcome == MsdscBatteryFailed ? "failed"
                                                     : "skipped",
             report->reason);
    Append(rig, line);
}

const char* RunBatteryRig(char* transcript, size_t size, struct BatteryRigResult* result)
{
    struct Rig rig;
    MsdscClient* client = NULL;
    MsdscBatteryOptions options;
    MsdscStatus status;
    uint32_t failed = 99;
    const char* message = NULL;

    memset(&rig, 0, sizeof(rig));
    rig.transcript = transcript;
    rig.size = size;
    transcript[0] = '\0';
    if (MsdscOpen(&client, &message) < 0)
        return "open";
    MsdscBatteryDefaults(&options);
    options.stormCycles = 3;
    options.scenarios = "not-a-scenario";
    status = MsdscRunBattery(client, &options, OnEvent, &rig, &failed, &message);
    if (status != (MsdscStatus)0xC000000D || rig.ended != 0)
        return "a scenario name that names none is refused before anything runs";
    options.scenarios = NULL;
    status = MsdscRunBattery(client, &options, OnEvent, &rig, &failed, &message);
    Append(&rig, message);
    MsdscClose(client, NULL);
    result->status = status;
    result->failed = failed;
    result->ended = rig.ended;
    result->passed = rig.passed;
    result->skipped = rig.skipped;
    result->cycles = rig.cycles;
    if (rig.failed != failed)
        return "the callback's failures are the count the run returned";
    return NULL;
}
