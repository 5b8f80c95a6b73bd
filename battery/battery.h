// The reader-driver battery: Plug and Play scenarios a reader's function driver must survive,
// written once against the client library and a Platform, run by both tools and, through the
// client library's C surface, by a rig in C. Each scenario ends with a verdict and its evidence.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "msdscclient.h"
#include "platform.h"

namespace msdsc::battery {

enum class Outcome { Passed, Failed, Skipped };
const char* OutcomeName(Outcome outcome); // "passed", "failed", "skipped"

// The storm's figures, per cycle of R readers added and removed.
struct StormFigures {
    uint32_t readers = 0, cycles = 0, completed = 0;
    double medianMs = 0, worstMs = 0;
    uint32_t nodesPresent = 0;  // reader nodes still in the tree afterwards
    uint32_t nodesRecorded = 0; // reader nodes the platform keeps, present or not
};

struct Verdict {
    uint32_t number = 0;
    std::string name;  // "arrival"
    std::string title; // "N readers at once reach started with their values"
    Outcome outcome = Outcome::Passed;
    std::string reason; // why it failed or was skipped: the first failure, one line
    // Which reader, which state, which problem code or veto, how long: one finding a line.
    std::vector<std::string> evidence;
    double milliseconds = 0;
    bool hasStorm = false;
    StormFigures storm;
};

struct Options {
    uint32_t readers = 4;        // arrival: added at once
    uint32_t stormReaders = 8;   // R
    uint32_t stormCycles = 50;   // K
    uint32_t timeoutMs = 10000;  // for a start, a departure
    uint32_t ioTimeoutMs = 2000; // for a control request on a removed reader to come back
    // Scenario names or numbers to run; empty runs every one.
    std::vector<std::string> only;
};

// Where the run reports while it goes, from the running thread.
struct Observer {
    std::function<void(const Verdict& starting)> scenarioStarted;
    std::function<void(const Verdict& scenario, uint32_t cycle, uint32_t cycles)> cycle;
    std::function<void(const Verdict& done)> scenarioEnded;
};

struct ScenarioInfo {
    uint32_t number;
    const char* name;
    const char* title;
};
std::vector<ScenarioInfo> Scenarios();
// False, with *error, for a name or number in `only` that names no scenario.
bool CheckSelection(const std::vector<std::string>& only, std::string* error);

// Stopping a run from another thread (Ctrl+C): the scenario under way ends at its next step and
// no further one starts; the readers it added are removed by the run before it returns.
class StopFlag
{
public:
    void Stop() { m_Stopped.store(true); }
    void Reset() { m_Stopped.store(false); }
    bool Stopped() const { return m_Stopped.load(); }

private:
    std::atomic<bool> m_Stopped{false};
};

// Runs the selected scenarios on an open client; every reader a scenario adds is removed before
// the next one starts. A stopped run reports the scenario under way as skipped ("stopped").
std::vector<Verdict> Run(MsdscClient* client, Platform& platform, const Options& options, const Observer& observer,
                         const StopFlag& stop);

} // namespace msdsc::battery
