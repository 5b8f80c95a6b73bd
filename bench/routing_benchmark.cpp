// What DispatchIrp adds to a request: the same handler reached through the routine installed for
// every major function (extension lookup, stack location, virtual call) and called directly.
#include <ntddk.h>

#include <benchmark/benchmark.h>

#include "driver/device_object_base.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"

namespace {

// A handler that neither completes nor changes the IRP, so one IRP serves every iteration and
// only the way to the handler is measured.
class CountingDevice final : public DeviceObjectBase
{
public:
    CountingDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) : DeviceObjectBase(driver, device) {}
    NTSTATUS DispatchDeviceControl(PIRP) override
    {
        ++m_Calls;
        return STATUS_SUCCESS;
    }
    unsigned long long m_Calls = 0;
};

NTSTATUS RoutingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = DispatchIrp;
    return STATUS_SUCCESS;
}

struct RoutingSetup {
    RoutingSetup()
    {
        simk::ResetKernel();
        driver = simk::LoadDriverEntry(RoutingEntry, u"RoutingBench").driverObject;
        IoCreateDevice(driver, sizeof(CountingDevice), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        object = new (device->DeviceExtension, InPlace) CountingDevice(driver, device);
        irp = simk::io::BuildIrp(device, IRP_MJ_DEVICE_CONTROL);
        // As IofCallDriver would: the location the caller filled becomes the current one.
        IoSetNextIrpStackLocation(irp);
    }
    ~RoutingSetup()
    {
        // Hand the location back, so the IRP is again one that was never sent and may be freed.
        IoSkipCurrentIrpStackLocation(irp);
        IoFreeIrp(irp);
        simk::ResetKernel();
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    CountingDevice* object = nullptr;
    PIRP irp = nullptr;
};

void BM_ThroughDispatchIrp(benchmark::State& state)
{
    RoutingSetup setup;
    for (auto _ : state)
        benchmark::DoNotOptimize(DispatchIrp(setup.device, setup.irp));
    if (setup.object->m_Calls != state.iterations())
        state.SkipWithError("DispatchIrp missed the handler");
}
BENCHMARK(BM_ThroughDispatchIrp);

void BM_HandlerCalledDirectly(benchmark::State& state)
{
    RoutingSetup setup;
    // Through the base class, as a caller holding the object would; the compiler cannot see the
    // object's type through the opaque pointer.
    DeviceObjectBase* object = setup.object;
    benchmark::DoNotOptimize(object);
    for (auto _ : state)
        benchmark::DoNotOptimize(object->DispatchDeviceControl(setup.irp));
}
BENCHMARK(BM_HandlerCalledDirectly);

} // namespace

BENCHMARK_MAIN();
