// For tests that link the driver's code in: a driver object of the test's own whose every major
// function goes through DispatchIrp, and device objects of it with a chosen class in their
// extension.
#pragma once

#include <ntddk.h>
#include <gtest/gtest.h>

#include <utility>

#include "driver/device_object_base.h"
#include "simkernel/loader.h"

namespace msdsc::testing {

inline NTSTATUS RoutingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = DispatchIrp;
    }
    return STATUS_SUCCESS;
}

// A driver object whose requests reach the objects in its devices' extensions.
inline PDRIVER_OBJECT LoadRoutingDriver(const char16_t* serviceName = u"DeviceClassTest")
{
    const simk::LoadResult loaded = simk::LoadDriverEntry(RoutingDriverEntry, serviceName);
    EXPECT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    return loaded.driverObject;
}

// An unnamed device object of `driver` with a T built in its extension from (driver, device,
// args...), as the driver's own creators do.
template <typename T, typename... Args>
T* CreateDeviceWith(PDRIVER_OBJECT driver, DEVICE_TYPE type, Args&&... args)
{
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(T), nullptr, type, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    return new (device->DeviceExtension, InPlace) T(driver, device, std::forward<Args>(args)...);
}

} // namespace msdsc::testing
