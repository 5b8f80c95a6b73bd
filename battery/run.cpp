// The battery's table of scenarios, the run that goes through it, and what every scenario is
// written with (adding and removing readers, waiting on Plug and Play, recording findings).
#include "context.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace msdsc::battery {

namespace {

struct Scenario {
    ScenarioInfo info;
    void (*run)(Context& context);
};

// A new scenario is one function and one row.
const Scenario SCENARIOS[] = {
    {{1, "arrival", "readers added at once reach started with their values"}, Arrival},
    {{2, "departure", "removed readers' device nodes go, leaving nothing behind"}, Departure},
    {{3, "surprise-removal", "a reader removed under an open handle"}, SurpriseRemovalWhileOpen},
    {{4, "disable-restart-dif", "disable and enable, restart, DIF remove and re-scan"}, DisableRestartDifRemove},
    {{5, "query-remove", "query-remove with a handle open, then without"}, QueryRemoveWithHandle},
    {{6, "storm", "cycles of readers added and removed"}, Storm},
};

// Plug and Play answers within milliseconds in the simulated kernel and within tens of them on
// Windows; a shorter pause only costs device-list walks.
constexpr std::chrono::milliseconds POLL_INTERVAL{5};

bool Selected(const ScenarioInfo& info, const std::vector<std::string>& only)
{
    if (only.empty())
        return true;
    return std::any_of(only.begin(), only.end(), [&](const std::string& name) {
        return name == info.name || name == std::to_string(info.number);
    });
}

// What the problem code means, from the library's advice.
std::string ProblemText(uint32_t problem)
{
    if (!problem)
        return "no problem code";
    return "problem " + std::to_string(problem) + " (" + MsdscProblemAdvice(MsdscDeviceReader, problem, nullptr) + ")";
}

} // namespace

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Passed:
        return "passed";
    case Outcome::Failed:
        return "failed";
    case Outcome::Skipped:
        return "skipped";
    }
    return "?";
}

std::vector<ScenarioInfo> Scenarios()
{
    std::vector<ScenarioInfo> list;
    for (const Scenario& scenario : SCENARIOS)
        list.push_back(scenario.info);
    return list;
}

bool CheckSelection(const std::vector<std::string>& only, std::string* error)
{
    for (const std::string& name : only) {
        const bool known = std::any_of(std::begin(SCENARIOS), std::end(SCENARIOS),
                                       [&](const Scenario& scenario) { return Selected(scenario.info, {name}); });
        if (!known) {
            *error = "no scenario '" + name + "'";
            return false;
        }
    }
    return true;
}

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string Milliseconds(double milliseconds)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", milliseconds);
    return text;
}

Context::Context(MsdscClient* client, Platform& platform, const Options& options, const Observer& observer,
                 const StopFlag& stop, Verdict& verdict)
    : platform(platform), options(options), verdict(verdict), m_Client(client), m_Observer(observer), m_Stop(stop)
{}

Context::~Context() { RemoveAll(); }

void Context::Fail(const std::string& finding)
{
    // After a stop the scenario is reported as stopped; what its cut-short waits saw is no finding.
    if (Stopped())
        return;
    if (verdict.outcome != Outcome::Failed)
        verdict.reason = finding;
    verdict.outcome = Outcome::Failed;
    verdict.evidence.push_back(finding);
}

void Context::Skip(const std::string& reason)
{
    verdict.outcome = Outcome::Skipped;
    verdict.reason = reason;
}

void Context::Cycle(uint32_t cycle, uint32_t cycles)
{
    if (m_Observer.cycle)
        m_Observer.cycle(verdict, cycle, cycles);
}

std::string Context::StatusText(MsdscStatus status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string Context::VetoText(const Veto& veto)
{
    return "veto " + (veto.type.empty() ? std::string("(no type)") : veto.type) +
           (veto.name.empty() ? std::string() : " by " + veto.name);
}

std::string Context::Describe(uint32_t number, const NodeLook& look)
{
    std::string text = "reader " + std::to_string(number);
    if (!look.instancePath.empty())
        text += " (" + look.instancePath + ")";
    if (look.lingering)
        return text + ": reported missing, kept for an open handle";
    if (!look.present)
        return text + ": no device node";
    return text + ": " + (look.started ? "started" : "present, not started") + ", " + ProblemText(look.problem);
}

std::string Context::Describe(uint32_t number) { return Describe(number, platform.Look(number)); }

template <typename Predicate>
bool Context::Poll(Predicate done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (Stopped() || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
}

Context::Reader* Context::Add(uint32_t seed)
{
    Reader reader;
    // Values no two readers of a run share, so a key left from another reader shows.
    reader.values[0] = 1000 + seed;
    reader.values[1] = seed % 26;
    reader.values[2] = seed % 2;
    const char* message = nullptr;
    const MsdscStatus status =
        MsdscAddReader(m_Client, reader.values[0], reader.values[1], reader.values[2], &reader.handle, &message);
    if (status < 0) {
        Fail("adding a reader failed: " + std::string(message) + " (" + StatusText(status) + ")");
        return nullptr;
    }
    MsdscReaderNumberOfHandle(&reader.handle, &reader.number, nullptr);
    m_Readers.push_back(reader);
    return &m_Readers.back();
}

bool Context::Remove(Reader& reader)
{
    if (reader.removed)
        return true;
    const char* message = nullptr;
    const MsdscStatus status = MsdscRemoveReader(m_Client, &reader.handle, &message);
    if (status < 0) {
        Fail("removing reader " + std::to_string(reader.number) + " failed: " + message + " (" + StatusText(status) +
             ")");
        return false;
    }
    reader.removed = true;
    return true;
}

bool Context::RemoveAll()
{
    bool gone = true;
    for (Reader& reader : m_Readers) {
        if (reader.removed)
            continue;
        if (!Remove(reader))
            gone = false;
        reader.removed = true;
    }
    if (!Stopped())
        for (const Reader& reader : m_Readers)
            gone = WaitGone(reader.number) && gone;
    m_Readers.clear();
    return gone;
}

bool Context::WaitStarted(const Reader& reader, double* milliseconds)
{
    const auto start = std::chrono::steady_clock::now();
    NodeLook look;
    bool final = false;
    const bool started = Poll(
        [&] {
            look = platform.Look(reader.number);
            if (platform.JudgesStartByInterface())
                return look.present && platform.InterfaceEnabled(reader.number);
            uint32_t waitHelps = 1;
            MsdscProblemAdvice(MsdscDeviceReader, look.problem, &waitHelps);
            final = look.present && !waitHelps;
            return (look.present && look.started) || final;
        },
        std::chrono::milliseconds(options.timeoutMs));
    const double took = Since(start);
    if (milliseconds)
        *milliseconds = took;
    if (started && !final && look.problem == 0)
        return true;
    if (started && !final)
        Fail(Describe(reader.number, look) + " once started");
    else if (final)
        Fail(Describe(reader.number, look) + ", after " + Milliseconds(took));
    else
        Fail(Describe(reader.number, look) + ": not started within " + Milliseconds(took) +
             (platform.JudgesStartByInterface() ? " (judged by its interface)" : ""));
    return false;
}

bool Context::WaitGone(uint32_t number, double* milliseconds)
{
    const auto start = std::chrono::steady_clock::now();
    NodeLook look;
    const bool gone = Poll(
        [&] {
            look = platform.Look(number);
            return !look.present && !look.lingering;
        },
        std::chrono::milliseconds(options.timeoutMs));
    if (milliseconds)
        *milliseconds = Since(start);
    if (!gone)
        Fail(Describe(number, look) + ": still there " + Milliseconds(Since(start)) + " after its removal");
    return gone;
}

bool Context::CheckValues(const Reader& reader)
{
    static const char* const NAMES[4] = {"Number", "Drive", "Log", "Exists"};
    std::optional<uint32_t> values[4];
    platform.ReadHardwareValues(reader.number, values);
    const uint32_t expected[4] = {reader.values[0], reader.values[1], reader.values[2], 1};
    std::string wrong;
    for (int i = 0; i < 4; ++i) {
        if (values[i] == expected[i])
            continue;
        wrong += std::string(wrong.empty() ? "" : ", ") + NAMES[i] + "=" +
                 (values[i] ? std::to_string(*values[i]) : std::string("missing")) + " (expected " +
                 std::to_string(expected[i]) + ")";
    }
    if (wrong.empty())
        return true;
    Fail("reader " + std::to_string(reader.number) + "'s hardware key: " + wrong);
    return false;
}

std::vector<Verdict> Run(MsdscClient* client, Platform& platform, const Options& options, const Observer& observer,
                         const StopFlag& stop)
{
    std::vector<Verdict> verdicts;
    platform.TakeViolations(); // what came before the run is not the battery's
    for (const Scenario& scenario : SCENARIOS) {
        if (!Selected(scenario.info, options.only))
            continue;
        Verdict verdict;
        verdict.number = scenario.info.number;
        verdict.name = scenario.info.name;
        verdict.title = scenario.info.title;
        if (stop.Stopped()) {
            verdict.outcome = Outcome::Skipped;
            verdict.reason = "not run: the battery was stopped";
            verdicts.push_back(verdict);
            continue;
        }
        if (observer.scenarioStarted)
            observer.scenarioStarted(verdict);
        const auto start = std::chrono::steady_clock::now();
        {
            Context context(client, platform, options, observer, stop, verdict);
            scenario.run(context);
        } // its readers are removed here, and a removal that breaks a rule is this scenario's
        verdict.milliseconds = Since(start);
        // A breach of a rule by the function driver is evidence, not the end of the run.
        for (const std::string& violation : platform.TakeViolations()) {
            const std::string finding = "verifier: " + violation;
            if (verdict.outcome != Outcome::Failed)
                verdict.reason = finding;
            verdict.outcome = Outcome::Failed;
            verdict.evidence.push_back(finding);
        }
        if (stop.Stopped()) {
            verdict.outcome = Outcome::Skipped;
            verdict.reason = "stopped before it ended";
        }
        if (observer.scenarioEnded)
            observer.scenarioEnded(verdict);
        verdicts.push_back(verdict);
    }
    return verdicts;
}

} // namespace msdsc::battery
