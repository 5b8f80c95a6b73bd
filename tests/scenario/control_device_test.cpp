// The control device as a client meets it: its name and link, the exclusive open that needs a
// registered bus, and the requests it does not handle.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/power.h"
#include "support/driver_fixtures.h"

namespace {

using msdsc::testing::CONTROL_DEVICE_NAME;
using msdsc::testing::CONTROL_LINK_NAME;
using msdsc::testing::CONTROL_USER_PATH;
using msdsc::testing::LoadedDriver;
using msdsc::testing::WithBuses;
using simk::user::Handle;

constexpr ULONG_PTR UNTOUCHED = 0x5A5A5A5A;

using ControlDeviceOpen = LoadedDriver;
using ControlDeviceWithBus = WithBuses<1>;

TEST_F(ControlDeviceOpen, IsANamedSecureDeviceReachedThroughItsLink)
{
    PDEVICE_OBJECT device = ControlDeviceObject();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DriverObject, Driver());
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_BUFFERED_IO | DO_DIRECT_IO), 0u);
    EXPECT_EQ(simk::SymbolicLinkTarget(CONTROL_LINK_NAME), CONTROL_DEVICE_NAME);
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u);
}

TEST_F(ControlDeviceOpen, IsRefusedUntilABusIsRegisteredThenExclusive)
{
    Handle first = nullptr;
    EXPECT_EQ(Open(&first), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(Control()->m_Opened);

    AddBus();
    ASSERT_EQ(Open(&first), STATUS_SUCCESS);
    Handle second = nullptr;
    EXPECT_EQ(Open(&second), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(&second), STATUS_SHARING_VIOLATION);

    // The handle outlives the last bus, and still holds the device exclusively.
    RemoveBuses();
    EXPECT_EQ(Open(&second), STATUS_SHARING_VIOLATION);
}

TEST_F(ControlDeviceWithBus, CloseAloneDoesNotEndTheExclusiveOpen)
{
    Handle client = nullptr;
    ASSERT_EQ(Open(&client), STATUS_SUCCESS);

    IO_STATUS_BLOCK iosb{};
    PIRP close = simk::io::BuildIrp(ControlDeviceObject(), IRP_MJ_CLOSE);
    EXPECT_EQ(simk::io::SendAndWait(ControlDeviceObject(), close, &iosb), STATUS_SUCCESS);
    IoFreeIrp(close);
    EXPECT_TRUE(Control()->m_Opened);

    Handle second = nullptr;
    EXPECT_EQ(Open(&second), STATUS_SHARING_VIOLATION);
}

TEST_F(ControlDeviceWithBus, OneOfTwoRacingOpensWins)
{
    constexpr int ROUNDS = 50;
    for (int round = 0; round < ROUNDS; ++round) {
        std::atomic<int> ready{0};
        NTSTATUS results[2] = {STATUS_PENDING, STATUS_PENDING};
        Handle handles[2] = {nullptr, nullptr};
        std::thread openers[2];
        for (int i = 0; i < 2; ++i) {
            openers[i] = std::thread([&, i] {
                ++ready;
                while (ready.load() < 2) {
                }
                results[i] = simk::user::OpenDevice(CONTROL_USER_PATH, &handles[i]);
            });
        }
        for (auto& t : openers) {
            t.join();
        }
        const int winners = (results[0] == STATUS_SUCCESS) + (results[1] == STATUS_SUCCESS);
        ASSERT_EQ(winners, 1) << "round " << round;
        const int loser = results[0] == STATUS_SUCCESS ? 1 : 0;
        ASSERT_EQ(results[loser], STATUS_SHARING_VIOLATION) << "round " << round;
        // The winner's cleanup makes the device openable for the next round.
        ASSERT_EQ(simk::user::Close(handles[1 - loser]), STATUS_SUCCESS);
        ASSERT_FALSE(Control()->m_Opened) << "round " << round;
    }
}

TEST_F(ControlDeviceWithBus, UnhandledRequestsCompleteNotImplemented)
{
    for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_FLUSH_BUFFERS),
                        UCHAR(IRP_MJ_SYSTEM_CONTROL), UCHAR(IRP_MJ_PNP)}) {
        PIRP irp = simk::io::BuildIrp(ControlDeviceObject(), major);
        irp->IoStatus.Information = UNTOUCHED;
        IO_STATUS_BLOCK iosb{};
        NTSTATUS dispatchStatus = STATUS_PENDING;
        simk::io::SendAndWait(ControlDeviceObject(), irp, &iosb, &dispatchStatus);
        IoFreeIrp(irp);
        EXPECT_EQ(dispatchStatus, STATUS_NOT_IMPLEMENTED) << "major function " << int(major);
        EXPECT_EQ(iosb.Status, STATUS_NOT_IMPLEMENTED) << "major function " << int(major);
        EXPECT_EQ(iosb.Information, UNTOUCHED) << "major function " << int(major);
    }

    const auto power = simk::power::SetDevicePower(ControlDeviceObject(), PowerDeviceD3);
    EXPECT_TRUE(power.completed);
    EXPECT_EQ(power.status, STATUS_NOT_IMPLEMENTED);
    EXPECT_TRUE(power.startNextBeforeCompletion);
}

} // namespace
