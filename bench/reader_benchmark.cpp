// Readers in the simulated kernel: a reader's whole life through the Plug and Play manager, the
// bus-relations query and the cost of one more add against the number of readers on the bus, and
// the pool a reader owns.
#include <wdm.h>

#include <benchmark/benchmark.h>
// Marks what callgrind collects; without valgrind's headers the marks are left out.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <string>

#include "control_client.h"
#include "machine.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/verifier.h"

namespace {

// The simulated machine with one started root bus, and an open client.
struct Machine {
    Machine()
    {
        // The kernel's default for violations (print them and abort) in place of the machine's
        // record, which nothing here would read: a benchmark of a faulty driver stops.
        simk::verifier::SetHandler({});
        std::string error;
        ready = machine.Load(MSDSCBUS_IMAGE, &error) && machine.CreateBuses(1, &error) && NT_SUCCESS(client.Open());
        if (!ready)
            return;
        driver = machine.Driver();
        bus = machine.Buses()[0];
    }
    ~Machine() { client.Close(); }
    PDEVICE_OBJECT BusDevice() const { return simk::pnp::Pdo(bus)->AttachedDevice; }
    // Readers numbered first to end - 1, each with only its number set; false at the first refused.
    bool AddReaders(ULONG first, ULONG end)
    {
        for (ULONG i = first; i < end; ++i) {
            BusReaderHandle handle{};
            if (!NT_SUCCESS(client.AddReader(ReaderConfig{i, 0, 0}, &handle)))
                return false;
        }
        return true;
    }

    msdsc::machine::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    simk::pnp::DeviceNode* bus = nullptr;
    msdsc::ControlClient client;
    bool ready = false;
};

void BM_ReaderLifeThroughPlugAndPlay(benchmark::State& state)
{
    Machine machine;
    if (!machine.ready)
        return state.SkipWithError("the driver did not load or the bus did not start");
    for (auto _ : state) {
        BusReaderHandle handle{};
        // Add, then Plug and Play enumerates, identifies and starts it (the registry values are
        // written); remove, then it sends surprise removal and removal and the reader deletes itself.
        if (!NT_SUCCESS(machine.client.AddReader(ReaderConfig{1, 2, 3}, &handle)))
            return state.SkipWithError("add failed");
        simk::pnp::RunUntilIdle();
        if (!NT_SUCCESS(machine.client.RemoveReader(handle)))
            return state.SkipWithError("remove failed");
        simk::pnp::RunUntilIdle();
    }
    if (!simk::pnp::Children(machine.bus).empty())
        state.SkipWithError("a reader outlived its removal");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReaderLifeThroughPlugAndPlay)->Unit(benchmark::kMicrosecond);

void BM_BusRelationsQuery(benchmark::State& state)
{
    const ULONG readers = static_cast<ULONG>(state.range(0));
    Machine machine;
    if (!machine.ready)
        return state.SkipWithError("the driver did not load or the bus did not start");
    // The readers are created and listed by the bus; Plug and Play is left to enumerate them
    // never, so only the driver's side of the query is measured.
    if (!machine.AddReaders(0, readers))
        return state.SkipWithError("add failed");
    PDEVICE_OBJECT busDevice = machine.BusDevice();
    for (auto _ : state) {
        IO_STATUS_BLOCK iosb{};
        const NTSTATUS status = simk::io::Call(
            busDevice, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
            [](PIO_STACK_LOCATION location, PIRP) { location->Parameters.QueryDeviceRelations.Type = BusRelations; },
            &iosb);
        auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(iosb.Information);
        if (!NT_SUCCESS(status) || !relations || relations->Count != readers)
            return state.SkipWithError("the reply does not list every reader");
        // What Plug and Play does with the reply: drop each reference, free the block.
        for (ULONG i = 0; i < relations->Count; ++i)
            ObDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }
    // Fitted without a presumed order: a flat cost per reader shows as N, a walk per position as N^2.
    state.SetComplexityN(readers);
    state.counters["readers"] = readers;
    state.counters["per_reader"] =
        benchmark::Counter(readers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BusRelationsQuery)->Arg(10)->Arg(100)->Arg(MAX_READERS)->Complexity()->Unit(benchmark::kMicrosecond);

// The N-th add: N - 1 readers are listed on the bus (Plug and Play is left to enumerate them never,
// so only the driver's side counts), then each iteration adds one more and removes it again
// untimed. Under callgrind (--collect-atstart=no) exactly the timed adds are collected.
void BM_NthAdd(benchmark::State& state)
{
    const ULONG readers = static_cast<ULONG>(state.range(0));
    Machine machine;
    if (!machine.ready)
        return state.SkipWithError("the driver did not load or the bus did not start");
    if (!machine.AddReaders(1, readers))
        return state.SkipWithError("add failed");
    for (auto _ : state) {
        BusReaderHandle handle{};
        CALLGRIND_TOGGLE_COLLECT;
        const NTSTATUS added = machine.client.AddReader(ReaderConfig{readers, 0, 0}, &handle);
        CALLGRIND_TOGGLE_COLLECT;
        state.PauseTiming();
        if (!NT_SUCCESS(added) || !NT_SUCCESS(machine.client.RemoveReader(handle))) {
            state.ResumeTiming();
            return state.SkipWithError("add or remove failed");
        }
        state.ResumeTiming();
    }
    state.counters["readers"] = readers;
}
BENCHMARK(BM_NthAdd)->Arg(100)->Arg(MAX_READERS)->Unit(benchmark::kMicrosecond);

// Not a timing: the pool the driver holds per started reader, from the kernel's accounting, and
// what is left once the readers are gone.
size_t DriverPoolBytes(PDRIVER_OBJECT driver)
{
    size_t bytes = 0;
    for (const simk::pool::Allocation& allocation : simk::pool::Outstanding())
        if (allocation.owner == driver)
            bytes += allocation.size;
    return bytes;
}

void BM_PoolOwnedPerReader(benchmark::State& state)
{
    const ULONG readers = static_cast<ULONG>(state.range(0));
    for (auto _ : state) {
        Machine machine;
        if (!machine.ready)
            return state.SkipWithError("the driver did not load or the bus did not start");
        const size_t blocksBefore = simk::pool::OutstandingCount(machine.driver);
        const size_t bytesBefore = DriverPoolBytes(machine.driver);
        const size_t entriesBefore = simk::pool::OutstandingCount(simk::Tag("apsl"));
        if (!machine.AddReaders(0, readers))
            return state.SkipWithError("add failed");
        simk::pnp::RunUntilIdle();
        if (simk::pnp::Children(machine.bus).size() != readers)
            return state.SkipWithError("not every reader was enumerated");
        state.counters["pool_blocks_per_reader"] =
            double(simk::pool::OutstandingCount(machine.driver) - blocksBefore) / readers;
        state.counters["pool_bytes_per_reader"] = double(DriverPoolBytes(machine.driver) - bytesBefore) / readers;
        state.counters["list_entries_per_reader"] =
            double(simk::pool::OutstandingCount(simk::Tag("apsl")) - entriesBefore) / readers;
        state.counters["pnp_held_blocks"] = double(simk::pnp::OwnedPoolBlocks());
        machine.client.Close();
        simk::pnp::RunUntilIdle();
        state.counters["pool_blocks_left_after_close"] =
            double(simk::pool::OutstandingCount(machine.driver)) - double(blocksBefore);
    }
}
BENCHMARK(BM_PoolOwnedPerReader)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
