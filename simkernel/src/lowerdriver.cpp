// A configurable lower driver for tests: answers, fails or pends each request as configured and
// records what it saw, so a driver under test can be put on top of a stack with known behaviour.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "internal.h"
#include "simkernel/hooks.h"
#include "simkernel/io.h"
#include "simkernel/loader.h"
#include "simkernel/lowerdriver.h"

namespace simk::test {

struct LowerDriver::State {
    PDRIVER_OBJECT driver = nullptr;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::map<UCHAR, Response> responses;
    Response defaultResponse;
    std::vector<SeenRequest> seen;
    std::deque<PIRP> pending;
    std::vector<std::thread> threads;
    size_t blocked = 0;
    bool unblocked = false;
};

namespace {

std::mutex g_RegistryLock;
std::map<PDRIVER_OBJECT, std::weak_ptr<LowerDriver::State>> g_Registry;

std::shared_ptr<LowerDriver::State> StateOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(g_RegistryLock);
    auto it = g_Registry.find(driver);
    return it == g_Registry.end() ? nullptr : it->second.lock();
}

void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, bool startNext)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    if (startNext && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
    }
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto state = StateOf(DeviceObject->DriverObject);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    int index = Irp->CurrentLocation - 1;
    SeenRequest request{DeviceObject,
                        Irp,
                        *sp,
                        index,
                        KeGetCurrentIrql(),
                        PsGetCurrentThreadId(),
                        Irp->IoStatus.Status,
                        simk::io::PowerStartNextNoted(Irp, index) || simk::io::PowerStartNextNoted(Irp, index + 1)};
    if (!state) {
        Complete(Irp, STATUS_SUCCESS, 0, true);
        return STATUS_SUCCESS;
    }
    Response response;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        auto it = state->responses.find(sp->MajorFunction);
        response = it == state->responses.end() ? state->defaultResponse : it->second;
        state->seen.push_back(request);
    }
    state->changed.notify_all();

    if (response.action == Action::Block) {
        // Waiting in the kernel's eyes, as a driver blocked on an event of its own would be.
        simk::detail::WaitingScope waiting;
        std::unique_lock<std::mutex> guard(state->lock);
        ++state->blocked;
        state->changed.notify_all();
        state->changed.wait_for(guard, simk::hooks::kBound, [&] { return state->unblocked; });
        --state->blocked;
    }
    if (response.action == Action::Complete || response.action == Action::Block) {
        Complete(Irp, response.status, response.information, response.callStartNextPowerIrp);
        return response.status;
    }
    IoMarkIrpPending(Irp);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->pending.push_back(Irp);
        if (response.action == Action::PendAndCompleteOnThread) {
            state->threads.emplace_back([state, response] {
                std::this_thread::sleep_for(std::chrono::milliseconds(response.delayMs));
                PIRP irp;
                {
                    std::lock_guard<std::mutex> guard(state->lock);
                    if (state->pending.empty())
                        return;
                    irp = state->pending.front();
                    state->pending.pop_front();
                }
                Complete(irp, response.status, response.information, response.callStartNextPowerIrp);
            });
        }
    }
    return STATUS_PENDING;
}

NTSTATUS LowerDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    for (auto& dispatch : DriverObject->MajorFunction)
        dispatch = Dispatch;
    return STATUS_SUCCESS;
}

} // namespace

LowerDriver::LowerDriver(const char16_t* serviceName) : m_State(std::make_shared<State>())
{
    std::u16string service = serviceName;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::u16string name = attempt ? service + simk::Widen(std::to_string(attempt)) : service;
        LoadResult result = LoadDriverEntry(LowerDriverEntry, name.c_str());
        if (result.status == STATUS_OBJECT_NAME_COLLISION)
            continue;
        m_State->driver = result.driverObject;
        break;
    }
    std::lock_guard<std::mutex> guard(g_RegistryLock);
    g_Registry[m_State->driver] = m_State;
}

LowerDriver::~LowerDriver()
{
    JoinThreads();
    std::lock_guard<std::mutex> guard(g_RegistryLock);
    g_Registry.erase(m_State->driver);
}

PDRIVER_OBJECT LowerDriver::Driver() const { return m_State->driver; }

PDEVICE_OBJECT LowerDriver::CreateDevice(const char16_t* name, DEVICE_TYPE type, ULONG extensionSize)
{
    PDEVICE_OBJECT device = nullptr;
    simk::detail::DriverScope scope(m_State->driver);
    NTSTATUS status;
    if (name) {
        simk::OwnedUnicodeString deviceName(name);
        status = IoCreateDevice(m_State->driver, extensionSize, deviceName, type, 0, FALSE, &device);
    } else {
        status = IoCreateDevice(m_State->driver, extensionSize, nullptr, type, 0, FALSE, &device);
    }
    if (!NT_SUCCESS(status))
        return nullptr;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void LowerDriver::SetResponse(UCHAR major, Response response)
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    m_State->responses[major] = response;
}

void LowerDriver::SetDefaultResponse(Response response)
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    m_State->defaultResponse = response;
}

std::vector<SeenRequest> LowerDriver::Seen() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->seen;
}

size_t LowerDriver::SeenCount() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->seen.size();
}

size_t LowerDriver::PendingCount() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->pending.size();
}

bool LowerDriver::WaitForSeen(size_t count, unsigned timeoutMs) const
{
    std::unique_lock<std::mutex> guard(m_State->lock);
    return m_State->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_State->seen.size() >= count; });
}

bool LowerDriver::WaitForBlocked(size_t count, unsigned timeoutMs) const
{
    std::unique_lock<std::mutex> guard(m_State->lock);
    return m_State->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_State->blocked >= count; });
}

void LowerDriver::Unblock()
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    m_State->unblocked = true;
    m_State->changed.notify_all();
}

bool LowerDriver::CompletePending(NTSTATUS status, ULONG_PTR information)
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(m_State->lock);
        if (m_State->pending.empty())
            return false;
        irp = m_State->pending.front();
        m_State->pending.pop_front();
    }
    Complete(irp, status, information, true);
    return true;
}

bool LowerDriver::CompletePendingOnThread(NTSTATUS status, ULONG_PTR information)
{
    bool completed = false;
    std::thread worker([&] { completed = CompletePending(status, information); });
    worker.join();
    return completed;
}

void LowerDriver::JoinThreads()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(m_State->lock);
        threads.swap(m_State->threads);
    }
    for (auto& t : threads)
        t.join();
}

} // namespace simk::test
