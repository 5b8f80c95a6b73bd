// What every scenario of the battery is written with: its verdict being filled, the readers it
// added (removed again whatever happens), and the waits on Plug and Play, which a stop ends.
#pragma once

#include <chrono>
#include <string>
#include <deque>
#include <vector>

#include "battery.h"

namespace msdsc::battery {

class Context
{
public:
    Context(MsdscClient* client, Platform& platform, const Options& options, const Observer& observer,
            const StopFlag& stop, Verdict& verdict);
    ~Context(); // removes what is still added
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    Platform& platform;
    const Options& options;
    Verdict& verdict;

    bool Stopped() const { return m_Stop.Stopped(); }
    // A finding that fails the scenario; the first one is its reason.
    void Fail(const std::string& finding);
    // A finding that does not decide the verdict.
    void Note(const std::string& finding) { verdict.evidence.push_back(finding); }
    void Skip(const std::string& reason);
    bool Failed() const { return verdict.outcome == Outcome::Failed; }
    void Cycle(uint32_t cycle, uint32_t cycles);

    struct Reader {
        uint32_t number = 0; // the reader number the driver gave
        MsdscReaderHandle handle{};
        uint32_t values[3] = {}; // Number, Drive, Log as added
        bool removed = false;
    };
    // Adds a reader whose values are made from `seed`; null (a finding made) when the add fails.
    Reader* Add(uint32_t seed);
    bool Remove(Reader& reader);
    // Removes every reader still added and waits for each to go; false when one stayed.
    bool RemoveAll();
    std::deque<Reader>& Readers() { return m_Readers; }
    MsdscClient* Client() { return m_Client; }

    // Waits for the reader to start (under Wine: its interface to be enabled); a problem waiting
    // does not cure ends it at once. Fails the scenario, with the reader's state, when it does not.
    bool WaitStarted(const Reader& reader, double* milliseconds = nullptr);
    // Waits for no node of the reader number to be present (lingering counts as present).
    bool WaitGone(uint32_t number, double* milliseconds = nullptr);
    // The four values in the reader's hardware key are the ones it was added with, and Exists 1.
    bool CheckValues(const Reader& reader);

    // "reader 3 (MICROSDSMARTCARDBUS\...\1&2&3): started" and the like.
    std::string Describe(uint32_t number);
    static std::string Describe(uint32_t number, const NodeLook& look);
    static std::string StatusText(MsdscStatus status); // "0xC0000010"
    static std::string VetoText(const Veto& veto);

private:
    template <typename Predicate>
    bool Poll(Predicate done, std::chrono::milliseconds timeout);

    MsdscClient* m_Client;
    const Observer& m_Observer;
    const StopFlag& m_Stop;
    std::deque<Reader> m_Readers; // a deque, so that a Reader* stays valid as more are added
};

// One per scenario; the table in run.cpp lists them.
void Arrival(Context& context);
void Departure(Context& context);
void SurpriseRemovalWhileOpen(Context& context);
void DisableRestartDifRemove(Context& context);
void QueryRemoveWithHandle(Context& context);
void Storm(Context& context);

// Milliseconds since `start`, for evidence.
double Since(std::chrono::steady_clock::time_point start);
std::string Milliseconds(double milliseconds); // "3.2 ms"

} // namespace msdsc::battery
