// Fault injection: failing the Nth call or every call of a kernel routine, and the sweep that walks
// a creation path through each of its failure exits.
#include "kernel_test_driver.h"
#include "simkernel/faults.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"

namespace {

using simk::Call;
using simk::Tag;
namespace faults = simk::faults;

class Faults : public simk::testing::KernelTest
{};

TEST_F(Faults, TheNthAllocationFailsCountingFromTheArming)
{
    PVOID before = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("abcd"));
    faults::FailNth(Call::ExAllocatePoolWithTag, 2);
    EXPECT_EQ(faults::CallCount(Call::ExAllocatePoolWithTag), 0u);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("abcd"));
    EXPECT_FALSE(faults::Fired(Call::ExAllocatePoolWithTag));
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("abcd"));
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("abcd"));
    EXPECT_NE(before, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_TRUE(faults::Fired(Call::ExAllocatePoolWithTag));
    EXPECT_EQ(faults::Injected(Call::ExAllocatePoolWithTag), 1u);
    EXPECT_EQ(faults::CallCount(Call::ExAllocatePoolWithTag), 3u);
    EXPECT_EQ(simk::pool::OutstandingCount(), 3u);
    for (PVOID p : {before, first, third})
        ExFreePool(p);
}

TEST_F(Faults, AFailingTagFailsEveryAllocationOfItUntilDisarmed)
{
    faults::FailPoolTag(Tag("bad!"));
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, Tag("bad!")), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, Tag("bad!")), nullptr);
    PVOID other = ExAllocatePoolWithTag(PagedPool, 4, Tag("good"));
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    faults::DisarmAll();
    PVOID now = ExAllocatePoolWithTag(PagedPool, 4, Tag("bad!"));
    EXPECT_NE(now, nullptr);
    ExFreePool(now);
}

TEST_F(Faults, IoRoutinesFailWithTheChosenStatusAndCreateNothing)
{
    ktest::InProcessDriver driver(u"Faulty");
    faults::FailAlways(Call::IoCreateDevice, STATUS_DEVICE_NOT_READY);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    simk::OwnedUnicodeString name(u"\\Device\\Faulty");
    EXPECT_EQ(IoCreateDevice(driver.Driver(), 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(IoCreateDevice(driver.Driver(), 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(faults::CallCount(Call::IoCreateDevice), 2u);
    EXPECT_EQ(simk::FindDevice(u"\\Device\\Faulty"), nullptr);
    faults::Disarm(Call::IoCreateDevice);
    ASSERT_EQ(IoCreateDevice(driver.Driver(), 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);

    faults::FailNth(Call::IoCreateSymbolicLink, 1, STATUS_ACCESS_DENIED);
    simk::OwnedUnicodeString link(u"\\??\\Faulty");
    EXPECT_EQ(IoCreateSymbolicLink(link, name), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(simk::SymbolicLinkExists(u"\\??\\Faulty"));
    EXPECT_EQ(IoCreateSymbolicLink(link, name), STATUS_SUCCESS);

    faults::FailNth(Call::IoAllocateDriverObjectExtension, 1);
    PVOID extension = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver.Driver(), (PVOID)1, 8, &extension), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extension, nullptr);
    EXPECT_EQ(IoGetDriverObjectExtension(driver.Driver(), (PVOID)1), nullptr);

    PDEVICE_OBJECT upper = nullptr, below = reinterpret_cast<PDEVICE_OBJECT>(1);
    ASSERT_EQ(IoCreateDevice(driver.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    faults::FailNth(Call::IoAttachDeviceToDeviceStackSafe, 1, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(upper, device, &below), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(below, nullptr);
    EXPECT_EQ(device->AttachedDevice, nullptr);

    IoDeleteSymbolicLink(link);
    IoDeleteDevice(upper);
    IoDeleteDevice(device);
}

// A creation path written the way driver code writes one: each step's failure undoes what the
// earlier steps built.
NTSTATUS BuildThing(PDRIVER_OBJECT driver, bool forgetToFreeTheName)
{
    PVOID header = ExAllocatePoolWithTag(NonPagedPool, 16, Tag("thgH"));
    if (!header)
        return STATUS_INSUFFICIENT_RESOURCES;
    PVOID name = ExAllocatePoolWithTag(PagedPool, 32, Tag("thgN"));
    if (!name) {
        ExFreePoolWithTag(header, Tag("thgH"));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT device = nullptr;
    simk::OwnedUnicodeString deviceName(u"\\Device\\Thing"), link(u"\\??\\Thing");
    NTSTATUS status = IoCreateDevice(driver, 0, deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(link, deviceName);
        if (!NT_SUCCESS(status))
            IoDeleteDevice(device);
    }
    if (!NT_SUCCESS(status)) {
        if (!forgetToFreeTheName)
            ExFreePoolWithTag(name, Tag("thgN"));
        ExFreePoolWithTag(header, Tag("thgH"));
        return status;
    }
    IoDeleteSymbolicLink(link);
    IoDeleteDevice(device);
    ExFreePoolWithTag(name, Tag("thgN"));
    ExFreePoolWithTag(header, Tag("thgH"));
    return STATUS_SUCCESS;
}

// Fails the 1st, 2nd, ... call of each kind in turn until the path no longer reaches the armed call;
// returns the leaks seen, one line per failing step that left something behind.
std::vector<std::string> Sweep(bool forgetToFreeTheName, int* exits)
{
    std::vector<std::string> leaks;
    *exits = 0;
    for (Call call : {Call::ExAllocatePoolWithTag, Call::IoCreateDevice, Call::IoCreateSymbolicLink}) {
        for (unsigned n = 1;; ++n) {
            simk::ResetKernel();
            ktest::InProcessDriver driver(u"Sweep");
            faults::FailNth(call, n, STATUS_INSUFFICIENT_RESOURCES);
            NTSTATUS status = BuildThing(driver.Driver(), forgetToFreeTheName);
            if (!faults::Fired(call)) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            }
            ++*exits;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            bool left = simk::pool::OutstandingCount() != 0 || !simk::DevicesOfDriver(driver.Driver()).empty() ||
                        !simk::SymbolicLinks().empty();
            if (left)
                leaks.push_back(std::string(simk::CallName(call)) + " #" + std::to_string(n));
        }
    }
    return leaks;
}

TEST_F(Faults, ASweepReachesEveryFailureExitAndFindsTheOneThatLeaks)
{
    int exits = 0;
    EXPECT_TRUE(Sweep(false, &exits).empty());
    EXPECT_EQ(exits, 4); // two allocations, the device, the link
    EXPECT_EQ(Sweep(true, &exits), (std::vector<std::string>{"IoCreateDevice #1", "IoCreateSymbolicLink #1"}));
}

} // namespace
