// In-process drivers for the simulated kernel's own tests: a driver object whose dispatch routine is
// a lambda, so each test states in place what the driver under the kernel does.
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <mutex>

#include "simkernel/kernel.h"
#include "simkernel/loader.h"

namespace ktest {

using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline std::mutex& DispatchLock()
{
    static std::mutex lock;
    return lock;
}
inline std::map<PDRIVER_OBJECT, DispatchFn>& Dispatchers()
{
    static std::map<PDRIVER_OBJECT, DispatchFn> map;
    return map;
}

inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS Trampoline(PDEVICE_OBJECT device, PIRP irp)
{
    DispatchFn fn;
    {
        std::lock_guard<std::mutex> guard(DispatchLock());
        auto it = Dispatchers().find(device->DriverObject);
        if (it != Dispatchers().end())
            fn = it->second;
    }
    if (!fn)
        return CompleteIrp(irp, STATUS_SUCCESS);
    return fn(device, irp);
}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction)
        dispatch = Trampoline;
    return STATUS_SUCCESS;
}

class InProcessDriver
{
public:
    explicit InProcessDriver(const char16_t* service = u"KTest")
    {
        m_Driver = simk::LoadDriverEntry(TestDriverEntry, service).driverObject;
    }
    ~InProcessDriver()
    {
        std::lock_guard<std::mutex> guard(DispatchLock());
        Dispatchers().erase(m_Driver);
    }
    InProcessDriver(const InProcessDriver&) = delete;
    InProcessDriver& operator=(const InProcessDriver&) = delete;

    PDRIVER_OBJECT Driver() const { return m_Driver; }

    void OnDispatch(DispatchFn fn)
    {
        std::lock_guard<std::mutex> guard(DispatchLock());
        Dispatchers()[m_Driver] = std::move(fn);
    }

    // A device of this driver with DO_DEVICE_INITIALIZING already cleared.
    PDEVICE_OBJECT CreateDevice(const char16_t* name = nullptr, ULONG extensionSize = 0, bool exclusive = false)
    {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status;
        if (name) {
            simk::OwnedUnicodeString deviceName(name);
            status = IoCreateDevice(m_Driver, extensionSize, deviceName, FILE_DEVICE_UNKNOWN, 0,
                                    exclusive ? TRUE : FALSE, &device);
        } else {
            status = IoCreateDevice(m_Driver, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive ? TRUE : FALSE,
                                    &device);
        }
        if (!NT_SUCCESS(status))
            return nullptr;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

private:
    PDRIVER_OBJECT m_Driver = nullptr;
};

} // namespace ktest
