/* msdscbattery: the reader-driver battery of the msdscclient library, for a rig in C. It puts the
 * reader's installed function driver through the Plug and Play paths a real reader meets (arrival,
 * departure, surprise removal under an open handle, disable/enable, restart, DIF remove,
 * query-remove and cancel-remove, storms of readers) and reports each scenario's verdict with its
 * evidence. Include msdscclient.h first; link msdscclient as for it. */
#ifndef MSDSCBATTERY_H
#define MSDSCBATTERY_H

#ifndef MSDSCCLIENT_H
#error "msdscbattery.h needs msdscclient.h first"
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MsdscBatteryOptions {
    uint32_t readers;      /* readers added at once by arrival and departure (default 4) */
    uint32_t stormReaders; /* the storm's R: readers added and removed per cycle (default 8) */
    uint32_t stormCycles;  /* the storm's K (default 50) */
    uint32_t timeoutMs;    /* how long a start or a departure may take (default 10000) */
    uint32_t ioTimeoutMs;  /* how long a control request on a removed reader may take (default 2000) */
    /* Scenario names or numbers separated by commas ("arrival,6"); NULL or "" for every one. */
    const char* scenarios;
    /* "{GUID}" of the function driver's device interface that scenarios 3 and 5 open; NULL for the
     * sample reader driver's. */
    const char* interfaceClass;
} MsdscBatteryOptions;

/* The defaults above. */
MSDSC_API void MSDSC_CALL MsdscBatteryDefaults(MsdscBatteryOptions* options);

typedef enum MsdscBatteryOutcome {
    MsdscBatteryPassed = 0,
    MsdscBatteryFailed = 1,
    MsdscBatterySkipped = 2 /* could not run here; reason says why */
} MsdscBatteryOutcome;

typedef enum MsdscBatteryEvent {
    MsdscBatteryScenarioStarted = 0,
    MsdscBatteryCycle = 1, /* a cycle of the storm begins: cycle of cycles */
    MsdscBatteryScenarioEnded = 2
} MsdscBatteryEvent;

/* One scenario as the callback sees it; the texts live until the callback returns. */
typedef struct MsdscScenarioReport {
    uint32_t number;      /* 1 to 6 */
    const char* name;     /* "arrival" */
    const char* title;    /* one line */
    uint32_t outcome;     /* MsdscBatteryOutcome, at MsdscBatteryScenarioEnded */
    const char* reason;   /* why it failed or was skipped; "" when it passed */
    const char* evidence; /* one finding a line ('\n' between lines): reader, state, problem or veto, time */
    double milliseconds;
    uint32_t cycle, cycles; /* MsdscBatteryCycle */
    /* The storm's figures at its end (isStorm 1): cycles done, median and worst per cycle, reader
     * nodes left present and recorded. */
    uint32_t isStorm;
    uint32_t cyclesCompleted;
    double medianMs, worstMs;
    uint32_t nodesPresent, nodesRecorded;
} MsdscScenarioReport;

typedef void(MSDSC_CALL* MsdscBatteryCallback)(void* context, MsdscBatteryEvent event,
                                               const MsdscScenarioReport* report);

/* Runs the battery on an open client (callback may be NULL). Every reader a scenario adds is
 * removed before the next one starts. Returns 0 when no scenario failed (skipped ones included),
 * STATUS_UNSUCCESSFUL (0xC0000001) when at least one failed, STATUS_CANCELLED (0xC0000120) when
 * MsdscStopBattery stopped it, STATUS_INVALID_PARAMETER (0xC000000D) for options that name no
 * scenario or no GUID. *failed (may be NULL) receives the number of failed scenarios. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscRunBattery(MsdscClient* client, const MsdscBatteryOptions* options,
                                                 MsdscBatteryCallback callback, void* context, uint32_t* failed,
                                                 const char** message);

/* From any thread (a console's Ctrl+C handler): every battery running in this process stops at its
 * next step, removes the readers it added and returns STATUS_CANCELLED. */
MSDSC_API void MSDSC_CALL MsdscStopBattery(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MSDSCBATTERY_H */
