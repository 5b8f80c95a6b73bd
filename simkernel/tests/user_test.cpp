// The user-mode view of the I/O manager: opening a device through its symbolic link, control
// requests with the METHOD_BUFFERED buffer rules, closing, and the Win32-shaped calls on top.
#include <algorithm>
#include <cstring>
#include <vector>

#include "kernel_test_driver.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"
#include "simkernel/user.h"
#include "simkernel/win32.h"

namespace {

namespace rules = simk::verifier::rules;
using simk::user::Handle;

constexpr ULONG IOCTL_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_WRITE_ONLY = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG IOCTL_NEITHER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

struct Seen {
    UCHAR major;
    PFILE_OBJECT file;
    PVOID systemBuffer;
    size_t systemBufferSize; // 0 when there was none
    POOL_TYPE systemBufferType;
    std::vector<unsigned char> input;
    ULONG inputLength, outputLength;
    KIRQL irql;
};

// A driver with a named device and a link to it. Control requests copy the input back reversed,
// `replyBytes` bytes of it, and complete with `replyStatus` and `replyInformation`.
class UserMode : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver = std::make_unique<ktest::InProcessDriver>(u"UserTest");
        device = driver->CreateDevice(u"\\Device\\KUser");
        simk::OwnedUnicodeString link(u"\\DosDevices\\KUser"), target(u"\\Device\\KUser");
        ASSERT_EQ(IoCreateSymbolicLink(link, target), STATUS_SUCCESS);
        driver->OnDispatch([this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); });
    }

    NTSTATUS Dispatch(PIRP irp)
    {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        Seen s{sp->MajorFunction, sp->FileObject, irp->AssociatedIrp.SystemBuffer, 0, NonPagedPool, {}, 0, 0,
               KeGetCurrentIrql()};
        simk::pool::Allocation info{};
        if (s.systemBuffer && simk::pool::IsOutstanding(s.systemBuffer, &info)) {
            s.systemBufferSize = info.size;
            s.systemBufferType = info.type;
        }
        if (sp->MajorFunction == IRP_MJ_CREATE) {
            seen.push_back(s);
            return ktest::CompleteIrp(irp, createStatus);
        }
        if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            seen.push_back(s);
            return ktest::CompleteIrp(irp, STATUS_SUCCESS);
        }
        s.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        s.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        auto* bytes = static_cast<unsigned char*>(sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_NEITHER
                                                      ? sp->Parameters.DeviceIoControl.Type3InputBuffer
                                                      : irp->AssociatedIrp.SystemBuffer);
        if (bytes)
            s.input.assign(bytes, bytes + s.inputLength);
        seen.push_back(s);
        const size_t replyLength = std::min<size_t>(replyBytes, s.input.size());
        if (bytes && irp->AssociatedIrp.SystemBuffer && replyLength != 0) {
            std::vector<unsigned char> reversed(s.input.rbegin(), s.input.rend());
            std::memcpy(irp->AssociatedIrp.SystemBuffer, reversed.data(), replyLength);
        }
        return ktest::CompleteIrp(irp, replyStatus, replyInformation);
    }

    Handle Open()
    {
        Handle h = nullptr;
        EXPECT_EQ(simk::user::OpenDevice(u"\\\\.\\KUser", &h), STATUS_SUCCESS);
        return h;
    }

    std::unique_ptr<ktest::InProcessDriver> driver;
    PDEVICE_OBJECT device = nullptr;
    std::vector<Seen> seen;
    NTSTATUS createStatus = STATUS_SUCCESS;
    NTSTATUS replyStatus = STATUS_SUCCESS;
    ULONG_PTR replyInformation = 0;
    size_t replyBytes = 0;
};

TEST_F(UserMode, EveryPathFormReachesTheDeviceThroughItsLink)
{
    for (const char16_t* path :
         {u"\\\\.\\KUser", u"\\DosDevices\\kuser", u"\\??\\KUser", u"\\GLOBAL??\\KUser", u"\\Device\\KUser"}) {
        Handle h = nullptr;
        ASSERT_EQ(simk::user::OpenDevice(path, &h), STATUS_SUCCESS) << simk::Narrow(path);
        EXPECT_EQ(simk::user::Close(h), STATUS_SUCCESS);
    }
    Handle h = reinterpret_cast<Handle>(1);
    EXPECT_EQ(simk::user::OpenDevice(u"\\\\.\\Nobody", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(simk::user::OpenDevice(u"\\Nowhere\\KUser", &h), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(UserMode, OpenAndCloseSendCreateThenCleanupThenCloseOnOneFileObject)
{
    Handle h = Open();
    EXPECT_EQ(device->ReferenceCount, 1);
    EXPECT_EQ(simk::user::OpenHandleCount(), 1u);
    EXPECT_EQ(simk::user::Close(h), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(seen[1].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
    EXPECT_NE(seen[0].file, nullptr);
    EXPECT_EQ(seen[1].file, seen[0].file);
    EXPECT_EQ(seen[2].file, seen[0].file);
    for (const auto& s : seen)
        EXPECT_EQ(s.irql, PASSIVE_LEVEL);
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(simk::user::Close(h), STATUS_INVALID_HANDLE);
}

TEST_F(UserMode, AFileObjectTheDriverReferencesIsClosedOnlyWhenItLetsGo)
{
    Handle h = Open();
    PFILE_OBJECT file = seen[0].file;
    ObReferenceObject(file);
    simk::user::Close(h);
    ASSERT_EQ(seen.size(), 2u); // cleanup, no close yet
    EXPECT_EQ(seen[1].major, IRP_MJ_CLEANUP);
    ObDereferenceObject(file);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
}

// "IoDeleteDevice function": with a handle open the device is only marked delete pending; the
// handle's cleanup and close still reach it, and it goes at the last close.
TEST_F(UserMode, ADeviceDeletedWithAHandleOpenHearsItsCleanupAndCloseThenGoes)
{
    Handle h = Open();
    IoDeleteDevice(device);
    Handle again = nullptr;
    EXPECT_EQ(simk::user::OpenDevice(u"\\\\.\\KUser", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(simk::IsDeviceObject(device));
    EXPECT_EQ(simk::user::Close(h), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
    EXPECT_FALSE(simk::IsDeviceObject(device));
}

TEST_F(UserMode, AFailedCreateLeavesNoOpenBehind)
{
    createStatus = STATUS_ACCESS_DENIED;
    Handle h = reinterpret_cast<Handle>(1);
    EXPECT_EQ(simk::user::OpenDevice(u"\\\\.\\KUser", &h), STATUS_ACCESS_DENIED);
    EXPECT_EQ(h, nullptr);
    ASSERT_EQ(seen.size(), 1u); // no cleanup or close for an open that never happened
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(simk::user::OpenHandleCount(), 0u);
}

TEST_F(UserMode, TheIoManagerRefusesOpensOfDevicesNotReady)
{
    device->Flags |= DO_DEVICE_INITIALIZING;
    Handle h = nullptr;
    EXPECT_EQ(simk::user::OpenDevice(u"\\\\.\\KUser", &h), STATUS_NO_SUCH_DEVICE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    device->Flags |= DO_EXCLUSIVE;
    Handle first = Open();
    EXPECT_EQ(simk::user::OpenDevice(u"\\\\.\\KUser", &h), STATUS_ACCESS_DENIED);
    simk::user::Close(first);
    Handle again = Open();
    simk::user::Close(again);
    // Neither refused open reached the driver.
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const Seen& s) { return s.major == IRP_MJ_CREATE; }), 2);
}

TEST_F(UserMode, OpensGoToTheTopOfTheDevicesStack)
{
    ktest::InProcessDriver filterDriver(u"Filter");
    PDEVICE_OBJECT filter = filterDriver.CreateDevice();
    PDEVICE_OBJECT below = nullptr;
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(filter, device, &below), STATUS_SUCCESS);
    std::vector<UCHAR> atFilter;
    filterDriver.OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        atFilter.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(below, irp);
    });
    Handle h = Open();
    simk::user::Close(h);
    EXPECT_EQ(atFilter, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(seen.size(), 3u);
    IoDetachDevice(device);
    IoDeleteDevice(filter);
}

TEST_F(UserMode, BufferedRequestsGetOneSystemBufferOfTheLargerLength)
{
    Handle h = Open();
    const unsigned char in[5] = {1, 2, 3, 4, 5};
    unsigned char out[8];
    std::memset(out, 0xEE, sizeof out);
    replyBytes = 5;
    replyInformation = 3;
    ULONG_PTR information = 99;
    EXPECT_EQ(simk::user::DeviceIoControl(h, IOCTL_ECHO, in, sizeof in, out, sizeof out, &information), STATUS_SUCCESS);
    const Seen& s = seen.back();
    EXPECT_EQ(s.systemBufferSize, 8u); // max(5, 8)
    EXPECT_EQ(s.systemBufferType, NonPagedPool);
    EXPECT_EQ(s.input, std::vector<unsigned char>(in, in + 5));
    EXPECT_EQ(s.inputLength, 5u);
    EXPECT_EQ(s.outputLength, 8u);
    EXPECT_EQ(information, 3u);
    // Only Information bytes come back; the rest of the caller's buffer is untouched.
    EXPECT_EQ(std::vector<unsigned char>(out, out + 8),
              (std::vector<unsigned char>{5, 4, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_FALSE(simk::pool::IsOutstanding(s.systemBuffer));

    // The input is larger: still one buffer, of the input's length.
    replyInformation = 2;
    unsigned char small[2];
    EXPECT_EQ(simk::user::DeviceIoControl(h, IOCTL_ECHO, in, sizeof in, small, sizeof small, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.back().systemBufferSize, 5u);

    // Neither buffer: no system buffer at all.
    replyBytes = 0;
    replyInformation = 0;
    EXPECT_EQ(simk::user::DeviceIoControl(h, IOCTL_ECHO, nullptr, 0, nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(seen.back().systemBuffer, nullptr);
    simk::user::Close(h);
}

TEST_F(UserMode, ErrorsCopyNothingBackWarningsDo)
{
    Handle h = Open();
    const unsigned char in[4] = {1, 2, 3, 4};
    unsigned char out[4] = {9, 9, 9, 9};
    ULONG_PTR information = 99;
    replyBytes = 4;
    replyInformation = 4;
    replyStatus = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(simk::user::DeviceIoControl(h, IOCTL_ECHO, in, 4, out, 4, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 4), (std::vector<unsigned char>{9, 9, 9, 9}));

    replyStatus = STATUS_BUFFER_OVERFLOW;
    replyInformation = 2;
    EXPECT_EQ(simk::user::DeviceIoControl(h, IOCTL_ECHO, in, 4, out, 4, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 2u);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 4), (std::vector<unsigned char>{4, 3, 9, 9}));
    simk::user::Close(h);
}

TEST_F(UserMode, DriverMistakesWithTheSystemBufferAreCaught)
{
    Handle h = Open();
    unsigned char out[4];
    ULONG_PTR information = 0;
    replyInformation = 16; // more than the caller's buffer
    SIMK_EXPECT_VIOLATION(rules::BufferedIoOverrun,
                          simk::user::DeviceIoControl(h, IOCTL_ECHO, nullptr, 0, out, sizeof out, &information));
    EXPECT_EQ(information, 16u);

    // Writing past the system buffer shows when the I/O manager frees it.
    replyInformation = 0;
    driver->OnDispatch([](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            std::memset(irp->AssociatedIrp.SystemBuffer, 0, 6);
        }
        return ktest::CompleteIrp(irp, STATUS_SUCCESS);
    });
    SIMK_EXPECT_VIOLATION(rules::PoolOverrun,
                          simk::user::DeviceIoControl(h, IOCTL_ECHO, nullptr, 0, out, sizeof out, &information));
    simk::user::Close(h);
}

TEST_F(UserMode, AccessBitsOfTheCodeAreCheckedAgainstTheOpen)
{
    Handle readOnly = nullptr;
    ASSERT_EQ(simk::user::OpenDevice(u"\\\\.\\KUser", &readOnly, GENERIC_READ), STATUS_SUCCESS);
    ULONG_PTR information = 0;
    size_t before = seen.size();
    EXPECT_EQ(simk::user::DeviceIoControl(readOnly, IOCTL_WRITE_ONLY, nullptr, 0, nullptr, 0, &information),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(seen.size(), before);
    EXPECT_EQ(simk::user::DeviceIoControl(readOnly, IOCTL_ECHO, nullptr, 0, nullptr, 0, &information), STATUS_SUCCESS);
    simk::user::Close(readOnly);
}

TEST_F(UserMode, NeitherMethodPassesTheCallersBuffers)
{
    Handle h = Open();
    unsigned char in[3] = {7, 8, 9};
    ULONG_PTR information = 0;
    EXPECT_EQ(simk::user::DeviceIoControl(h, IOCTL_NEITHER, in, 3, nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(seen.back().systemBuffer, nullptr);
    EXPECT_EQ(seen.back().input, (std::vector<unsigned char>{7, 8, 9}));
    simk::user::Close(h);
}

TEST_F(UserMode, Win32CallsReportErrorsTheWayKernel32Does)
{
    HANDLE missing = CreateFileW(L"\\\\.\\Nobody", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RtlGetLastNtStatus(), STATUS_OBJECT_NAME_NOT_FOUND);

    HANDLE h = CreateFileW(L"\\\\.\\KUser", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    unsigned char in[2] = {1, 2}, out[2] = {0, 0};
    DWORD returned = 77;
    replyBytes = 2;
    replyInformation = 1;
    replyStatus = STATUS_BUFFER_OVERFLOW;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_ECHO, in, 2, out, 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(returned, 1u); // a warning still reports the bytes
    EXPECT_EQ(out[0], 2);

    replyStatus = STATUS_INVALID_DEVICE_STATE;
    returned = 77;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_ECHO, in, 2, out, 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_COMMAND);
    EXPECT_EQ(RtlGetLastNtStatus(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(returned, 77u); // an error leaves the count alone

    replyStatus = STATUS_SUCCESS;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_ECHO, in, 2, out, 2, &returned, nullptr));
    EXPECT_EQ(returned, 1u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(StatusMapping, StatusesTheDriverReturnsMapToTheirWin32Errors)
{
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_SUCCESS), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_ACCESS_DENIED), (ULONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_DEVICE_STATE), (ULONG)ERROR_BAD_COMMAND);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_NOT_IMPLEMENTED), (ULONG)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_DEVICE_REQUEST), (ULONG)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INSUFFICIENT_RESOURCES), (ULONG)ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_INVALID_PARAMETER), (ULONG)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_BUFFER_TOO_SMALL), (ULONG)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_NO_SUCH_DEVICE), (ULONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_UNSUCCESSFUL), (ULONG)ERROR_GEN_FAILURE);
    EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0DE0001), (ULONG)ERROR_MR_MID_NOT_FOUND);
}

} // namespace
