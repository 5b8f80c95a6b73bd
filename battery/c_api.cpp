// The battery's C surface (msdscbattery.h), exported by the client library beside msdscclient.h.
#include <atomic>
#include <cstring>
#include <sstream>

#include "battery.h"
#include "msdscbattery.h"

namespace {

constexpr MsdscStatus STATUS_UNSUCCESSFUL_VALUE = static_cast<MsdscStatus>(0xC0000001u);
constexpr MsdscStatus STATUS_INVALID_PARAMETER_VALUE = static_cast<MsdscStatus>(0xC000000Du);
constexpr MsdscStatus STATUS_CANCELLED_VALUE = static_cast<MsdscStatus>(0xC0000120u);

// One flag for the process: a Ctrl+C stops whatever battery runs, and a run starting clears it.
msdsc::battery::StopFlag& ProcessStop()
{
    static msdsc::battery::StopFlag stop;
    return stop;
}

std::vector<std::string> SplitNames(const char* list)
{
    std::vector<std::string> names;
    if (!list)
        return names;
    std::stringstream in(list);
    std::string name;
    while (std::getline(in, name, ','))
        if (!name.empty())
            names.push_back(name);
    return names;
}

struct Reporter {
    MsdscBatteryCallback callback;
    void* context;

    void Send(MsdscBatteryEvent event, const msdsc::battery::Verdict& verdict, uint32_t cycle = 0,
              uint32_t cycles = 0) const
    {
        if (!callback)
            return;
        std::string evidence;
        for (const std::string& line : verdict.evidence)
            evidence += (evidence.empty() ? "" : "\n") + line;
        MsdscScenarioReport report{};
        report.number = verdict.number;
        report.name = verdict.name.c_str();
        report.title = verdict.title.c_str();
        report.outcome = static_cast<uint32_t>(verdict.outcome);
        report.reason = verdict.reason.c_str();
        report.evidence = evidence.c_str();
        report.milliseconds = verdict.milliseconds;
        report.cycle = cycle;
        report.cycles = verdict.hasStorm ? verdict.storm.cycles : cycles;
        report.isStorm = verdict.hasStorm ? 1 : 0;
        report.cyclesCompleted = verdict.storm.completed;
        report.medianMs = verdict.storm.medianMs;
        report.worstMs = verdict.storm.worstMs;
        report.nodesPresent = verdict.storm.nodesPresent;
        report.nodesRecorded = verdict.storm.nodesRecorded;
        callback(context, event, &report);
    }
};

} // namespace

extern "C" {

MSDSC_API void MSDSC_CALL MsdscBatteryDefaults(MsdscBatteryOptions* options)
{
    if (!options)
        return;
    const msdsc::battery::Options defaults;
    *options = MsdscBatteryOptions{};
    options->readers = defaults.readers;
    options->stormReaders = defaults.stormReaders;
    options->stormCycles = defaults.stormCycles;
    options->timeoutMs = defaults.timeoutMs;
    options->ioTimeoutMs = defaults.ioTimeoutMs;
}

MSDSC_API MsdscStatus MSDSC_CALL MsdscRunBattery(MsdscClient* client, const MsdscBatteryOptions* options,
                                                 MsdscBatteryCallback callback, void* context, uint32_t* failed,
                                                 const char** message)
{
    static thread_local std::string reason;
    auto answer = [&](MsdscStatus status, const std::string& text) {
        reason = text;
        if (message)
            *message = reason.c_str();
        return status;
    };
    if (failed)
        *failed = 0;
    if (!client || !options)
        return answer(STATUS_INVALID_PARAMETER_VALUE, "no client or no options");
    msdsc::battery::Options run;
    run.readers = options->readers;
    run.stormReaders = options->stormReaders;
    run.stormCycles = options->stormCycles;
    run.timeoutMs = options->timeoutMs;
    run.ioTimeoutMs = options->ioTimeoutMs;
    run.only = SplitNames(options->scenarios);
    std::string error;
    if (!msdsc::battery::CheckSelection(run.only, &error))
        return answer(STATUS_INVALID_PARAMETER_VALUE, error);
    std::unique_ptr<msdsc::battery::Platform> platform = msdsc::battery::MakePlatform(options->interfaceClass, &error);
    if (!platform)
        return answer(STATUS_INVALID_PARAMETER_VALUE, error);

    const Reporter reporter{callback, context};
    msdsc::battery::Observer observer;
    observer.scenarioStarted = [&](const msdsc::battery::Verdict& verdict) {
        reporter.Send(MsdscBatteryScenarioStarted, verdict);
    };
    observer.cycle = [&](const msdsc::battery::Verdict& verdict, uint32_t cycle, uint32_t cycles) {
        reporter.Send(MsdscBatteryCycle, verdict, cycle, cycles);
    };
    observer.scenarioEnded = [&](const msdsc::battery::Verdict& verdict) {
        reporter.Send(MsdscBatteryScenarioEnded, verdict);
    };
    ProcessStop().Reset();
    const std::vector<msdsc::battery::Verdict> verdicts =
        msdsc::battery::Run(client, *platform, run, observer, ProcessStop());
    uint32_t failures = 0;
    for (const msdsc::battery::Verdict& verdict : verdicts)
        failures += verdict.outcome == msdsc::battery::Outcome::Failed ? 1 : 0;
    if (failed)
        *failed = failures;
    if (ProcessStop().Stopped())
        return answer(STATUS_CANCELLED_VALUE, "the battery was stopped; the readers it added were removed");
    if (failures)
        return answer(STATUS_UNSUCCESSFUL_VALUE, std::to_string(failures) + " scenario(s) failed");
    return answer(0, "every scenario that ran passed");
}

MSDSC_API void MSDSC_CALL MsdscStopBattery(void) { ProcessStop().Stop(); }

} // extern "C"
