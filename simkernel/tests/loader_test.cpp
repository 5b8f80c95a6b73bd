// The loader: driver images loaded from fresh globals each time, driver objects named for their
// service, and the checks that run when a driver goes away or fails to start.
#include "simkernel/loader.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"

namespace {

namespace rules = simk::verifier::rules;

class Loader : public simk::testing::KernelTest
{
protected:
    PDRIVER_OBJECT Load(const char16_t* service)
    {
        simk::LoadResult result = simk::LoadDriver(SIMK_LOADER_TEST_DRIVER, service);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << result.error;
        return result.driverObject;
    }
    static int LoadCount(PDRIVER_OBJECT driver)
    {
        auto count = reinterpret_cast<int (*)()>(simk::ImageSymbol(driver, "LoadCount"));
        return count ? count() : -1;
    }
};

TEST_F(Loader, EveryLoadStartsFromTheImagesInitialGlobals)
{
    PDRIVER_OBJECT driver = Load(u"Counter");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(LoadCount(driver), 1);
    EXPECT_EQ(simk::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_FALSE(simk::IsDriverLoaded(driver));

    driver = Load(u"Counter");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(LoadCount(driver), 1); // not 2: the first copy was really unloaded
    EXPECT_EQ(simk::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(Loader, TheDriverObjectIsNamedForItsServiceAndRoutesNothingYet)
{
    PDRIVER_OBJECT driver = Load(u"Counter");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->Type, IO_TYPE_DRIVER);
    EXPECT_EQ(simk::ToU16(driver->DriverName), u"\\Driver\\Counter");
    ASSERT_NE(driver->DriverExtension, nullptr);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(simk::ToU16(driver->DriverExtension->ServiceKeyName), u"Counter");
    EXPECT_EQ(driver->DriverExtension->AddDevice, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    for (auto dispatch : driver->MajorFunction)
        EXPECT_NE(dispatch, nullptr);
    EXPECT_EQ(simk::FindDriver(u"counter"), driver);
    // The image's code lies inside DriverStart .. DriverStart + DriverSize.
    auto* symbol = static_cast<char*>(simk::ImageSymbol(driver, "DriverEntry"));
    auto* start = static_cast<char*>(driver->DriverStart);
    EXPECT_TRUE(symbol >= start && symbol < start + driver->DriverSize);

    simk::LoadResult twice = simk::LoadDriver(SIMK_LOADER_TEST_DRIVER, u"Counter");
    EXPECT_EQ(twice.status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(twice.driverObject, nullptr);
}

TEST_F(Loader, PoolLeftAtUnloadIsReported)
{
    PDRIVER_OBJECT driver = Load(u"LeakPool");
    ASSERT_NE(driver, nullptr);
    SIMK_EXPECT_VIOLATION(rules::PoolLeakOnUnload, EXPECT_EQ(simk::UnloadDriver(driver), STATUS_SUCCESS));
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("Leak")), 1u); // a leak stays a leak
}

TEST_F(Loader, PoolIsChargedToTheImageThatAllocatesIt)
{
    PDRIVER_OBJECT driver = Load(u"Counter");
    auto allocate = reinterpret_cast<PVOID (*)()>(simk::ImageSymbol(driver, "AllocateFromImage"));
    ASSERT_NE(allocate, nullptr);
    PVOID p = allocate();
    simk::pool::Allocation info{};
    ASSERT_TRUE(simk::pool::IsOutstanding(p, &info));
    EXPECT_EQ(info.owner, driver);
    ExFreePool(p);
    EXPECT_EQ(simk::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(Loader, DevicesAndLinksLeftAtUnloadAreReportedAndKeepTheImage)
{
    PDRIVER_OBJECT driver = Load(u"LeakDevice");
    ASSERT_NE(driver, nullptr);
    {
        simk::verifier::Expect devices(rules::DeviceObjectLeakOnUnload);
        simk::verifier::Expect links(rules::SymbolicLinkLeakOnUnload);
        EXPECT_EQ(simk::UnloadDriver(driver), STATUS_SUCCESS);
        EXPECT_EQ(devices.Count(), 1u);
        EXPECT_EQ(links.Count(), 1u);
    }
    // Windows keeps an image while device objects of its driver exist.
    EXPECT_FALSE(simk::IsDriverLoaded(driver));
    EXPECT_EQ(LoadCount(driver), 1);
    EXPECT_NE(simk::FindDevice(u"\\Device\\LoaderTest"), nullptr);
}

TEST_F(Loader, ADriverThatCleansUpUnloadsQuietly)
{
    PDRIVER_OBJECT driver = Load(u"CleanDevice");
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(simk::SymbolicLinkExists(u"\\??\\LoaderTest"));
    EXPECT_EQ(simk::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_FALSE(simk::SymbolicLinkExists(u"\\??\\LoaderTest"));
    EXPECT_EQ(simk::FindDevice(u"\\Device\\LoaderTest"), nullptr);
    EXPECT_EQ(simk::FindDriver(u"CleanDevice"), nullptr);
    EXPECT_EQ(simk::UnloadDriver(driver), STATUS_INVALID_PARAMETER); // already gone
}

TEST_F(Loader, AFailedDriverEntryIsCheckedAndItsDriverObjectFreed)
{
    simk::LoadResult clean = simk::LoadDriver(SIMK_LOADER_TEST_DRIVER, u"FailClean");
    EXPECT_EQ(clean.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(clean.driverObject, nullptr);
    EXPECT_EQ(simk::FindDriver(u"FailClean"), nullptr);
    // The service name is free again.
    EXPECT_EQ(simk::LoadDriver(SIMK_LOADER_TEST_DRIVER, u"FailClean").status, STATUS_DEVICE_NOT_READY);

    simk::LoadResult leaking;
    SIMK_EXPECT_VIOLATION(rules::PoolLeakOnUnload, leaking = simk::LoadDriver(SIMK_LOADER_TEST_DRIVER, u"FailLeaking"));
    EXPECT_EQ(leaking.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(leaking.driverObject, nullptr);
}

TEST_F(Loader, ADriverWithoutAnUnloadRoutineStaysLoaded)
{
    PDRIVER_OBJECT driver = Load(u"NoUnload");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(simk::UnloadDriver(driver), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(simk::IsDriverLoaded(driver));
}

// A Plug and Play driver is unloaded only once all its devices are gone: a device it made itself
// (a control device) keeps it loaded and its unload routine uncalled; once that device is deleted
// the unload runs. A legacy driver (no AddDevice) is unloaded with its devices present, as
// ADriverThatCleansUpUnloadsQuietly shows.
TEST_F(Loader, APlugAndPlayDriverWithADeviceLeftIsNotUnloaded)
{
    static int unloads = 0;
    static PDEVICE_OBJECT control = nullptr;
    unloads = 0;
    auto result = simk::LoadDriverEntry(
        [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
            driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; };
            driver->DriverUnload = [](PDRIVER_OBJECT) { ++unloads; };
            return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
        },
        u"PnpWithControl");
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(simk::UnloadDriver(result.driverObject), STATUS_DEVICE_BUSY);
    EXPECT_EQ(unloads, 0);
    EXPECT_TRUE(simk::IsDriverLoaded(result.driverObject));
    EXPECT_EQ(result.driverObject->DeviceObject, control);

    IoDeleteDevice(control);
    EXPECT_EQ(simk::UnloadDriver(result.driverObject), STATUS_SUCCESS);
    EXPECT_EQ(unloads, 1);
    EXPECT_FALSE(simk::IsDriverLoaded(result.driverObject));
}

TEST_F(Loader, ImagesThatCannotBeDriversAreRefused)
{
    simk::LoadResult missing = simk::LoadDriver("/nonexistent/driver.so", u"Missing");
    EXPECT_EQ(missing.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(missing.error.empty());
    simk::LoadResult noEntry = simk::LoadDriver(SIMK_KERNEL_LIBRARY, u"NotADriver");
    EXPECT_EQ(noEntry.status, STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(simk::FindDriver(u"NotADriver"), nullptr);
}

TEST_F(Loader, InProcessEntryPointsLoadLikeImages)
{
    static int entered = 0;
    entered = 0;
    auto result = simk::LoadDriverEntry(
        [](PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
            ++entered;
            EXPECT_EQ(simk::ToU16(registryPath), u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\InProc");
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            driver->DriverUnload = [](PDRIVER_OBJECT) { ++entered; };
            return STATUS_SUCCESS;
        },
        u"InProc");
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(entered, 1);
    EXPECT_EQ(simk::ImageSymbol(result.driverObject, "DriverEntry"), nullptr);
    EXPECT_EQ(simk::UnloadDriver(result.driverObject), STATUS_SUCCESS);
    EXPECT_EQ(entered, 2);
}

TEST_F(Loader, AReferenceLeftOnADeletedDeviceIsReportedAndKeepsTheDriverObject)
{
    static PDEVICE_OBJECT device = nullptr;
    auto result = simk::LoadDriverEntry(
        [](PDRIVER_OBJECT driver, PUNICODE_STRING) {
            NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            driver->DriverUnload = [](PDRIVER_OBJECT) { IoDeleteDevice(device); };
            return status;
        },
        u"Referenced");
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ObReferenceObject(device);
    SIMK_EXPECT_VIOLATION(rules::ObjectReferenceImbalance, simk::UnloadDriver(result.driverObject));
    EXPECT_TRUE(simk::IsDeviceObject(device));
    EXPECT_EQ(simk::DeviceName(device), u"");
    // The driver object goes once its last device does (at the loader's next call).
    ObDereferenceObject(device);
    EXPECT_FALSE(simk::IsDeviceObject(device));
    EXPECT_EQ(
        simk::LoadDriverEntry([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }, u"Referenced").status,
        STATUS_SUCCESS);
}

} // namespace
