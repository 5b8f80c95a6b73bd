// The battery's reports in the tools: text, JSON lines and JUnit XML.
#include "battery_report.h"

#include <cstdio>
#include <ostream>

#include "commands.h"

namespace msdsc::tool {

namespace {

std::string Fixed(double value, const char* format = "%.1f")
{
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string Xml(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

size_t Count(const std::vector<ScenarioRecord>& scenarios, const char* outcome)
{
    size_t count = 0;
    for (const ScenarioRecord& scenario : scenarios)
        count += scenario.outcome == outcome ? 1 : 0;
    return count;
}

std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

// The progress, for the person watching (standard error): each scenario as it starts, and the storm's
// cycles about twenty times in all; each scenario's end kept as a record.
void MSDSC_CALL OnBatteryEvent(void* context, MsdscBatteryEvent event, const MsdscScenarioReport* report)
{
    auto* progress = static_cast<BatteryProgress*>(context);
    const std::string name = std::to_string(report->number) + " " + report->name;
    if (event == MsdscBatteryScenarioStarted) {
        if (!progress->quiet)
            *progress->out << "battery: " << name << ": " << report->title << std::endl;
        return;
    }
    if (event == MsdscBatteryCycle) {
        const uint32_t step = report->cycles > 20 ? report->cycles / 20 : 1;
        if (!progress->quiet && (report->cycle % step == 0 || report->cycle == 1))
            *progress->out << "battery: " << name << ": cycle " << report->cycle << " of " << report->cycles
                           << std::endl;
        return;
    }
    ScenarioRecord record;
    record.number = report->number;
    record.name = report->name;
    record.title = report->title;
    record.outcome = report->outcome == MsdscBatteryFailed    ? "failed"
                     : report->outcome == MsdscBatterySkipped ? "skipped"
                                                              : "passed";
    record.reason = report->reason;
    std::string evidence = report->evidence;
    for (size_t start = 0; start < evidence.size();) {
        const size_t end = evidence.find('\n', start);
        record.evidence.push_back(evidence.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? evidence.size() : end + 1;
    }
    record.milliseconds = report->milliseconds;
    record.storm = report->isStorm != 0;
    record.cycles = report->cycles;
    record.cyclesCompleted = report->cyclesCompleted;
    record.medianMs = report->medianMs;
    record.worstMs = report->worstMs;
    record.nodesPresent = report->nodesPresent;
    record.nodesRecorded = report->nodesRecorded;
    progress->records.push_back(record);
}

std::string BatteryTable(const std::vector<ScenarioRecord>& scenarios)
{
    std::string table = "battery: " + std::to_string(Count(scenarios, "passed")) + " passed, " +
                        std::to_string(Count(scenarios, "failed")) + " failed, " +
                        std::to_string(Count(scenarios, "skipped")) + " skipped\n";
    char row[160];
    std::snprintf(row, sizeof(row), "  %-2s %-20s %-8s %10s\n", "#", "scenario", "verdict", "time");
    table += row;
    for (const ScenarioRecord& scenario : scenarios) {
        std::snprintf(row, sizeof(row), "  %-2u %-20s %-8s %10s  ", static_cast<unsigned>(scenario.number),
                      scenario.name.c_str(), scenario.outcome.c_str(), (Fixed(scenario.milliseconds) + " ms").c_str());
        table += row + (scenario.outcome == "passed" ? scenario.title : scenario.reason) + "\n";
    }
    for (const ScenarioRecord& scenario : scenarios) {
        if (scenario.storm)
            table += "storm: " + std::to_string(scenario.cyclesCompleted) + " of " + std::to_string(scenario.cycles) +
                     " cycles; per cycle median " + Fixed(scenario.medianMs) + " ms, worst " + Fixed(scenario.worstMs) +
                     " ms; reader nodes left present " + std::to_string(scenario.nodesPresent) + ", recorded " +
                     std::to_string(scenario.nodesRecorded) + "\n";
        if (scenario.outcome != "failed")
            continue;
        table += "evidence of " + std::to_string(scenario.number) + " " + scenario.name + ":\n";
        for (const std::string& line : scenario.evidence)
            table += "  " + line + "\n";
    }
    return table;
}

std::string BatteryJsonLine(const std::string& command, const ScenarioRecord& scenario)
{
    std::string evidence;
    for (const std::string& line : scenario.evidence)
        evidence += (evidence.empty() ? "" : ",") + JsonString(line);
    Json json("scenario");
    json.Add("command", command)
        .Add("ok", scenario.outcome != "failed")
        .Add("number", uint64_t{scenario.number})
        .Add("name", scenario.name)
        .Add("title", scenario.title)
        .Add("verdict", scenario.outcome)
        .Add("reason", scenario.reason)
        .Raw("milliseconds", Fixed(scenario.milliseconds, "%.3f"))
        .Raw("evidence", "[" + evidence + "]");
    if (scenario.storm)
        json.Raw("storm", Json(nullptr)
                              .Add("cycles", uint64_t{scenario.cycles})
                              .Add("completed", uint64_t{scenario.cyclesCompleted})
                              .Raw("medianMs", Fixed(scenario.medianMs, "%.3f"))
                              .Raw("worstMs", Fixed(scenario.worstMs, "%.3f"))
                              .Add("nodesPresent", uint64_t{scenario.nodesPresent})
                              .Add("nodesRecorded", uint64_t{scenario.nodesRecorded})
                              .Object());
    return json.Line();
}

std::string BatteryJunit(const std::vector<ScenarioRecord>& scenarios)
{
    double total = 0;
    for (const ScenarioRecord& scenario : scenarios)
        total += scenario.milliseconds;
    const std::string counts = "tests=\"" + std::to_string(scenarios.size()) + "\" failures=\"" +
                               std::to_string(Count(scenarios, "failed")) + "\" errors=\"0\" skipped=\"" +
                               std::to_string(Count(scenarios, "skipped")) + "\" time=\"" +
                               Fixed(total / 1000, "%.3f") + "\"";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"msdsc battery\" " + counts +
                      ">\n  <testsuite name=\"battery\" " + counts + ">\n";
    for (const ScenarioRecord& scenario : scenarios) {
        xml += "    <testcase classname=\"battery\" name=\"" + std::to_string(scenario.number) + " " +
               Xml(scenario.name) + "\" time=\"" + Fixed(scenario.milliseconds / 1000, "%.3f") + "\">\n";
        if (scenario.outcome == "failed")
            xml += "      <failure message=\"" + Xml(scenario.reason) + "\">" + Xml(Lines(scenario.evidence)) +
                   "</failure>\n";
        else if (scenario.outcome == "skipped")
            xml += "      <skipped message=\"" + Xml(scenario.reason) + "\"/>\n";
        if (!scenario.evidence.empty())
            xml += "      <system-out>" + Xml(Lines(scenario.evidence)) + "</system-out>\n";
        xml += "    </testcase>\n";
    }
    return xml + "  </testsuite>\n</testsuites>\n";
}

} // namespace msdsc::tool
