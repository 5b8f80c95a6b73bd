// The battery's scenarios of readers coming and going through the bus alone: arrival, departure
// and the storm.
#include "context.h"

#include <algorithm>

#include "msdscclient.h"

namespace msdsc::battery {

namespace {

// Every reader node the device view shows with a problem code, present ones only (an absent node
// keeps no state).
void FailOnProblems(Context& context, const char* when)
{
    std::vector<MsdscReaderDevice> devices(64);
    uint32_t count = 0;
    if (MsdscListReaderDevices(devices.data(), static_cast<uint32_t>(devices.size()), &count, nullptr) < 0)
        return;
    devices.resize(std::min<size_t>(count, devices.size()));
    for (const MsdscReaderDevice& device : devices)
        if (device.present && device.problem)
            context.Fail(Context::Describe(device.readerNumber, context.platform.Look(device.readerNumber)) + " " +
                         when);
}

std::string PoolText(const Platform::Pool& pool)
{
    return std::to_string(pool.blocks) + " block(s)" + (pool.byTag.empty() ? "" : " (" + pool.byTag + ")");
}

} // namespace

void Arrival(Context& context)
{
    const uint32_t count = context.options.readers;
    for (uint32_t i = 0; i < count; ++i)
        if (!context.Add(i))
            return;
    for (const Context::Reader& reader : context.Readers()) {
        double took = 0;
        if (!context.WaitStarted(reader, &took))
            continue;
        if (context.CheckValues(reader))
            context.Note("reader " + std::to_string(reader.number) + " started in " + Milliseconds(took) +
                         " with its four values");
    }
}

void Departure(Context& context)
{
    const std::optional<Platform::Pool> before = context.platform.FunctionDriverPool();
    const uint32_t count = context.options.readers;
    for (uint32_t i = 0; i < count; ++i)
        if (!context.Add(100 + i))
            return;
    for (const Context::Reader& reader : context.Readers())
        if (!context.WaitStarted(reader))
            return;
    for (Context::Reader& reader : context.Readers())
        context.Remove(reader);
    for (const Context::Reader& reader : context.Readers()) {
        double took = 0;
        if (!context.WaitGone(reader.number, &took))
            continue;
        if (context.platform.InterfaceEnabled(reader.number))
            context.Fail("reader " + std::to_string(reader.number) +
                         ": its function driver's interface is still enabled after the node went");
        else
            context.Note("reader " + std::to_string(reader.number) + " gone in " + Milliseconds(took));
    }
    FailOnProblems(context, "after the departure");
    const std::optional<Platform::Pool> after = context.platform.FunctionDriverPool();
    if (before && after && after->blocks > before->blocks)
        context.Fail("the function driver holds " + std::to_string(after->blocks - before->blocks) +
                     " pool block(s) more after its readers left: " + PoolText(*before) + " before, " +
                     PoolText(*after) + " after (a removal that leaks its pool)");
    else if (!before)
        context.Note("pool not checked: " + std::string(context.platform.Name()) + " cannot say what a driver holds");
}

void Storm(Context& context)
{
    const uint32_t readers = context.options.stormReaders;
    const uint32_t cycles = context.options.stormCycles;
    const std::optional<Platform::Pool> before = context.platform.FunctionDriverPool();
    const uint32_t recordedBefore = context.platform.RecordedNodes();
    StormFigures& figures = context.verdict.storm;
    context.verdict.hasStorm = true;
    figures.readers = readers;
    figures.cycles = cycles;
    std::vector<double> times;
    for (uint32_t cycle = 1; cycle <= cycles && !context.Stopped() && !context.Failed(); ++cycle) {
        context.Cycle(cycle, cycles);
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < readers; ++i)
            if (!context.Add(cycle * readers + i))
                break;
        for (const Context::Reader& reader : context.Readers())
            if (!context.WaitStarted(reader))
                break;
        if (context.Failed())
            break;
        // Every reader of the cycle goes, and the next cycle's numbers are the same ones again.
        if (!context.RemoveAll())
            break;
        times.push_back(Since(start));
    }
    figures.completed = static_cast<uint32_t>(times.size());
    if (!times.empty()) {
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        const size_t middle = sorted.size() / 2;
        figures.medianMs = sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
        figures.worstMs = sorted.back();
    }
    context.RemoveAll();
    FailOnProblems(context, "after the storm");
    std::vector<MsdscReaderDevice> devices(256);
    uint32_t count = 0;
    if (MsdscListReaderDevices(devices.data(), static_cast<uint32_t>(devices.size()), &count, nullptr) >= 0) {
        devices.resize(std::min<size_t>(count, devices.size()));
        // Presence as the platform judges it (Wine's device view calls every node present).
        figures.nodesPresent =
            static_cast<uint32_t>(std::count_if(devices.begin(), devices.end(), [&](const MsdscReaderDevice& device) {
                return device.present && context.platform.Look(device.readerNumber).present;
            }));
    }
    figures.nodesRecorded = context.platform.RecordedNodes();
    uint32_t buses = 1;
    MsdscCountBusDevices(&buses, nullptr);
    // Reader numbers are given back and taken again, lowest first, so each bus keeps at most as many
    // nodes as readers were ever there at once (R, or the earlier scenarios' N), whatever K.
    const uint32_t bound = std::max(readers, context.options.readers) * std::max<uint32_t>(buses, 1);
    if (figures.nodesPresent)
        context.Fail(std::to_string(figures.nodesPresent) + " reader node(s) still present after the storm");
    if (figures.nodesRecorded > std::max(bound, recordedBefore))
        context.Fail(std::to_string(figures.nodesRecorded) + " reader nodes recorded after " +
                     std::to_string(figures.completed) + " cycles of " + std::to_string(readers) + ": more than " +
                     std::to_string(bound) + ", the most readers there at once on every bus");
    const std::optional<Platform::Pool> after = context.platform.FunctionDriverPool();
    if (before && after && after->blocks > before->blocks)
        context.Fail("the function driver holds " + std::to_string(after->blocks - before->blocks) +
                     " pool block(s) more after the storm: " + PoolText(*before) + " before, " + PoolText(*after) +
                     " after");
    context.Note(std::to_string(figures.completed) + " of " + std::to_string(cycles) + " cycles of " +
                 std::to_string(readers) + " readers; per cycle median " + Milliseconds(figures.medianMs) + ", worst " +
                 Milliseconds(figures.worstMs) + "; reader nodes left present " + std::to_string(figures.nodesPresent) +
                 ", recorded " + std::to_string(figures.nodesRecorded));
}

} // namespace msdsc::battery
