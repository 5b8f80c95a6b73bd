// Loading and unloading the driver image: the systems it accepts, every way its entry can fail
// with the status it reports, that a failed load leaves nothing, and that a loaded driver stays
// loaded with its control device, as Windows keeps it, until a restart.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <string>

#include "simkernel/faults.h"
#include "simkernel/hooks.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"
#include "support/driver_fixtures.h"
#include "support/driver_messages.h"

namespace {

using msdsc::testing::CONTROL_DEVICE_NAME;
using msdsc::testing::CONTROL_LINK_NAME;
using msdsc::testing::SERVICE_NAME;

class DriverLoad : public simk::testing::KernelTest
{
protected:
    static simk::LoadResult Load() { return simk::LoadDriver(MSDSCBUS_IMAGE, SERVICE_NAME); }

    // What the kernel holds that a driver could have left: pool, device objects, links.
    struct Holdings {
        size_t pool;
        size_t devices;
        size_t links;
        bool operator==(const Holdings& other) const
        {
            return pool == other.pool && devices == other.devices && links == other.links;
        }
    };
    static Holdings Now()
    {
        return Holdings{simk::pool::OutstandingCount(), simk::LiveDeviceCount(), simk::SymbolicLinks().size()};
    }
};

struct SystemVersion {
    ULONG major;
    ULONG minor;
};

class SupportedSystem : public DriverLoad, public ::testing::WithParamInterface<SystemVersion>
{};

TEST_P(SupportedSystem, LoadsAndKeepsItsControlDeviceUntilARestart)
{
    simk::SetOsVersion(GetParam().major, GetParam().minor, 2600);
    const Holdings before = Now();
    const simk::LoadResult loaded = Load();
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    ASSERT_NE(loaded.driverObject, nullptr);
    EXPECT_NE(loaded.driverObject->DriverUnload, nullptr);
    EXPECT_NE(simk::FindDevice(CONTROL_DEVICE_NAME), nullptr);
    EXPECT_EQ(simk::SymbolicLinkTarget(CONTROL_LINK_NAME), CONTROL_DEVICE_NAME);
    // Resident memory is never executable where the system can say so (Windows 8, 6.2, on); an
    // older system has no such pool type, and the kernel's verifier reports asking it for one.
    const std::vector<simk::pool::Allocation> registry = simk::pool::Outstanding(simk::Tag("ansl"));
    ASSERT_EQ(registry.size(), 1u);
    const bool hasNx = GetParam().major > 6 || (GetParam().major == 6 && GetParam().minor >= 2);
    EXPECT_EQ(registry[0].type, hasNx ? NonPagedPoolNx : NonPagedPool);

    // Its control device keeps a Plug and Play driver loaded: the unload is refused and the
    // device, its link and the registry stay.
    const Holdings loadedHoldings = Now();
    EXPECT_EQ(simk::UnloadDriver(loaded.driverObject), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(simk::IsDriverLoaded(loaded.driverObject));
    EXPECT_EQ(simk::SymbolicLinkTarget(CONTROL_LINK_NAME), CONTROL_DEVICE_NAME);
    EXPECT_TRUE(Now() == loadedHoldings);

    // Only a restart ends it; the load after it starts from fresh globals and builds everything again.
    simk::ResetKernel();
    simk::SetOsVersion(GetParam().major, GetParam().minor, 2600);
    EXPECT_TRUE(Now() == before);
    const simk::LoadResult again = Load();
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(simk::FindDevice(CONTROL_DEVICE_NAME), again.driverObject->DeviceObject);
}

INSTANTIATE_TEST_SUITE_P(Versions, SupportedSystem,
                         ::testing::Values(SystemVersion{5, 1}, SystemVersion{5, 2}, SystemVersion{6, 0},
                                           SystemVersion{6, 1}, SystemVersion{6, 2}, SystemVersion{6, 3},
                                           SystemVersion{10, 0}),
                         [](const ::testing::TestParamInfo<SystemVersion>& info) {
                             return "Windows" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

struct LoadFailure {
    const char* name;
    ULONG major;
    ULONG minor;
    void (*arrange)(simk::test::LowerDriver& other);
    NTSTATUS expected;
};

class LoadFailureRow : public DriverLoad, public ::testing::WithParamInterface<LoadFailure>
{};

TEST_P(LoadFailureRow, ReturnsItsStatusAndLeavesNothingBehind)
{
    const LoadFailure& c = GetParam();
    simk::test::LowerDriver other(u"OtherDriver");
    simk::SetOsVersion(c.major, c.minor);
    if (c.arrange != nullptr) {
        c.arrange(other);
    }
    const Holdings before = Now();
    const size_t errorsBefore = msdsc::testing::ShownDriverErrors();

    const simk::LoadResult loaded = Load();
    EXPECT_EQ(loaded.status, c.expected);
    EXPECT_EQ(loaded.driverObject, nullptr);
    EXPECT_EQ(msdsc::testing::ShownDriverErrors(), errorsBefore + 1) << "a failed load is told at the error level";
    EXPECT_TRUE(Now() == before) << "pool, device objects or links outlived the failed load:\n"
                                 << simk::pool::Describe(simk::pool::Outstanding());
    other.JoinThreads();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoadFailureRow,
    ::testing::Values(LoadFailure{"Windows4_0", 4, 0, nullptr, STATUS_UNSUCCESSFUL},
                      LoadFailure{"Windows4_10", 4, 10, nullptr, STATUS_UNSUCCESSFUL},
                      LoadFailure{"Windows5_0", 5, 0, nullptr, STATUS_UNSUCCESSFUL},
                      LoadFailure{"DriverObjectExtensionRefused", 10, 0,
                                  [](simk::test::LowerDriver&) {
                                      simk::faults::FailNth(simk::Call::IoAllocateDriverObjectExtension, 1,
                                                            STATUS_NO_MEMORY);
                                  },
                                  STATUS_NO_MEMORY},
                      LoadFailure{"NoPoolForTheBusRegistry", 10, 0,
                                  [](simk::test::LowerDriver&) { simk::faults::FailPoolTag(simk::Tag("ansl")); },
                                  STATUS_UNSUCCESSFUL},
                      LoadFailure{"ControlDeviceNotCreated", 10, 0,
                                  [](simk::test::LowerDriver&) {
                                      simk::faults::FailNth(simk::Call::IoCreateDevice, 1,
                                                            STATUS_INSUFFICIENT_RESOURCES);
                                  },
                                  STATUS_INSUFFICIENT_RESOURCES},
                      // The control device is never left open to every user: no DACL, no driver.
                      LoadFailure{"ControlDeviceNotOpenedForItsSecurity", 10, 0,
                                  [](simk::test::LowerDriver&) {
                                      simk::faults::FailNth(simk::Call::ObOpenObjectByPointer, 1,
                                                            STATUS_INSUFFICIENT_RESOURCES);
                                  },
                                  STATUS_INSUFFICIENT_RESOURCES},
                      LoadFailure{"ControlDeviceSecurityRefused", 10, 0,
                                  [](simk::test::LowerDriver&) {
                                      simk::faults::FailNth(simk::Call::ZwSetSecurityObject, 1, STATUS_ACCESS_DENIED);
                                  },
                                  STATUS_ACCESS_DENIED},
                      LoadFailure{"ControlDeviceNameTaken", 10, 0,
                                  [](simk::test::LowerDriver& other) { other.CreateDevice(CONTROL_DEVICE_NAME); },
                                  STATUS_OBJECT_NAME_COLLISION},
                      LoadFailure{"SymbolicLinkAlreadyPresent", 10, 0,
                                  [](simk::test::LowerDriver& other) {
                                      other.CreateDevice(u"\\Device\\SomeoneElse");
                                      simk::OwnedUnicodeString link(CONTROL_LINK_NAME);
                                      simk::OwnedUnicodeString target(u"\\Device\\SomeoneElse");
                                      ASSERT_EQ(IoCreateSymbolicLink(link, target), STATUS_SUCCESS);
                                  },
                                  STATUS_OBJECT_NAME_COLLISION}),
    [](const ::testing::TestParamInfo<LoadFailure>& info) { return std::string(info.param.name); });

// The control device's DACL is in place before its link exists: until the link, no user can name
// the device, so there is no moment in which every local user may open it.
TEST_F(DriverLoad, ControlDeviceIsProtectedBeforeItsLinkExists)
{
    bool linkExisted = true;
    const simk::hooks::Hook security(
        simk::hooks::At(simk::Call::ZwSetSecurityObject, simk::When::Before),
        [&](const simk::CallSite&) { linkExisted = simk::SymbolicLinkExists(CONTROL_LINK_NAME); });
    const simk::LoadResult loaded = Load();
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    ASSERT_TRUE(security.Fired()) << "the control device's security was never set";
    EXPECT_FALSE(linkExisted) << "the link existed while the device had the default security";
    EXPECT_EQ(simk::UnloadDriver(loaded.driverObject), STATUS_DEVICE_BUSY);
}

TEST_F(DriverLoad, FailedLoadIsFollowedByACleanOne)
{
    simk::faults::FailNth(simk::Call::IoCreateSymbolicLink, 1, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Load().status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(simk::FindDevice(CONTROL_DEVICE_NAME), nullptr) << "the control device outlived its failed start";

    const simk::LoadResult loaded = Load();
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    EXPECT_EQ(simk::UnloadDriver(loaded.driverObject), STATUS_DEVICE_BUSY);
}

} // namespace
