// The sample reader driver's device: one function device object over each reader the bus driver
// reports, with what it read from the reader's hardware key. Plain C++ in a device extension, so
// the driver stays a template a user can lift into a driver of their own.
#pragma once
#include <ntddk.h>

#include "msdscbus.h"
#include "msdscsample.h"

// What Plug and Play has done with the device, as far as the sample's requests care.
enum class SampleState : ULONG {
    NotStarted,
    Started,
    Stopped,
    SurpriseRemoved,
    Removed,
};

struct SampleDevice {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Lower;
    // Held by every request while it is in the driver; the removal waits for all of them.
    IO_REMOVE_LOCK RemoveLock;
    // Written only by Plug and Play requests, which Plug and Play sends one at a time.
    SampleState State;
    // The interface's symbolic link, from IoRegisterDeviceInterface (the kernel's pool).
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceEnabled;
    // Valid from a successful start to the removal.
    SampleConfiguration Configuration;
    // The device state the reader can be in for each system state, from its capabilities; the
    // power policy asks for these in answer to a system set-power.
    DEVICE_POWER_STATE DeviceStateFor[POWER_SYSTEM_MAXIMUM];
    DEVICE_POWER_STATE DevicePower;
};

// Every request ends through here: the one completion path.
NTSTATUS SampleCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0);

// Sends the request down and waits until the lower drivers have completed it; the caller owns the
// request again and completes it.
NTSTATUS SampleForwardAndWait(SampleDevice* Device, PIRP Irp);

NTSTATUS SampleDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SampleDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Reads "Number", "Drive", "Log" and "Exists" from the reader's hardware key.
NTSTATUS SampleReadConfiguration(SampleDevice* Device);

// The sample's version, last component first, as SampleConfiguration carries it.
extern const DriverVersion SAMPLE_VERSION;

// A request's lock: acquired by the constructor, released by the destructor unless handed on
// (Keep) to whoever completes the request later.
class SampleRemoveLockHold
{
public:
    SampleRemoveLockHold(SampleDevice* device, PIRP irp)
        : m_Device(device), m_Irp(irp), m_Status(IoAcquireRemoveLock(&device->RemoveLock, irp))
    {}
    ~SampleRemoveLockHold()
    {
        if (Held())
            IoReleaseRemoveLock(&m_Device->RemoveLock, m_Irp);
    }
    SampleRemoveLockHold(const SampleRemoveLockHold&) = delete;
    SampleRemoveLockHold& operator=(const SampleRemoveLockHold&) = delete;

    bool Held() const { return NT_SUCCESS(m_Status); }
    NTSTATUS Status() const { return m_Status; }
    // The lock now belongs to a completion routine, which releases it.
    void Keep() { m_Status = STATUS_UNSUCCESSFUL; }
    // The removal: no request gets in from here on, and the ones inside are waited for.
    void ReleaseAndWait()
    {
        IoReleaseRemoveLockAndWait(&m_Device->RemoveLock, m_Irp);
        m_Status = STATUS_UNSUCCESSFUL;
    }

private:
    SampleDevice* m_Device;
    PIRP m_Irp;
    NTSTATUS m_Status;
};

#define SAMPLE_DIAGNOSTIC(Level, Format, ...) \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, Level, "msdscsample: " Format "\n", ##__VA_ARGS__)
