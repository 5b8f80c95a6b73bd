// What the tools make of a battery run: the table a person reads at the end, one JSON line per
// scenario, and the JUnit XML file a CI server reads.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "msdscclient.h"
#include "msdscbattery.h"

namespace msdsc::tool {

struct ScenarioRecord {
    uint32_t number = 0;
    std::string name, title;
    std::string outcome; // "passed", "failed", "skipped"
    std::string reason;
    std::vector<std::string> evidence;
    double milliseconds = 0;
    bool storm = false;
    uint32_t cycles = 0, cyclesCompleted = 0, nodesPresent = 0, nodesRecorded = 0;
    double medianMs = 0, worstMs = 0;
};

// What MsdscRunBattery's callback is given as its context: where progress goes, and the records.
struct BatteryProgress {
    std::ostream* out;
    bool quiet;
    std::vector<ScenarioRecord> records;
};
void MSDSC_CALL OnBatteryEvent(void* context, MsdscBatteryEvent event, const MsdscScenarioReport* report);

std::string BatteryTable(const std::vector<ScenarioRecord>& scenarios);
std::string BatteryJsonLine(const std::string& command, const ScenarioRecord& scenario);
std::string BatteryJunit(const std::vector<ScenarioRecord>& scenarios);

} // namespace msdsc::tool
