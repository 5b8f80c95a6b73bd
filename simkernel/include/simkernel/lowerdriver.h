// A configurable lower driver for tests: it creates device objects that answer each major function
// at once, fail it, pass it on, pend it and complete it later (on the test's thread or on a thread
// of its own), or keep it inside the dispatch routine until the test lets it go, and records what
// every request looked like when it arrived.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

namespace simk::test {

enum class Action {
    Complete,                // complete with the response's status and information
    Pend,                    // IoMarkIrpPending, return STATUS_PENDING; complete later with CompletePending
    PendAndCompleteOnThread, // as Pend, and a thread of the driver completes it after `delayMs`
    Block                    // stays inside the dispatch routine until Unblock, then completes as Complete
};

struct Response {
    Action action = Action::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    unsigned delayMs = 0;
    bool callStartNextPowerIrp = true; // for IRP_MJ_POWER: PoStartNextPowerIrp before completing
};

struct SeenRequest {
    PDEVICE_OBJECT device;
    PIRP irp;
    IO_STACK_LOCATION location; // copy of the current stack location on arrival
    int locationIndex;          // index of that stack location
    KIRQL irql;
    HANDLE threadId;
    NTSTATUS statusOnArrival; // IoStatus.Status on arrival
    bool startNextNotedAbove; // PoStartNextPowerIrp was noted by the driver above before passing it
};

class LowerDriver
{
public:
    explicit LowerDriver(const char16_t* serviceName = u"SimkLower");
    ~LowerDriver(); // joins its threads; device objects and the driver object go at ResetKernel
    LowerDriver(const LowerDriver&) = delete;
    LowerDriver& operator=(const LowerDriver&) = delete;

    PDRIVER_OBJECT Driver() const;
    // Creates a device object of this driver (named or not), already started (no DO_DEVICE_INITIALIZING).
    PDEVICE_OBJECT CreateDevice(const char16_t* name = nullptr, DEVICE_TYPE type = FILE_DEVICE_UNKNOWN,
                                ULONG extensionSize = 0);

    void SetResponse(UCHAR major, Response response); // for one major function
    void SetDefaultResponse(Response response);       // for every other one (initially Complete/SUCCESS)

    std::vector<SeenRequest> Seen() const;
    size_t SeenCount() const;
    size_t PendingCount() const;
    // Waits until at least `count` requests have arrived (false on timeout).
    bool WaitForSeen(size_t count, unsigned timeoutMs = 5000) const;
    // Waits until at least `count` requests are kept inside the dispatch routine (Action::Block).
    bool WaitForBlocked(size_t count, unsigned timeoutMs = 5000) const;
    // Lets every blocked request, and every one that blocks from now on, go on. A blocked request
    // that is not let go within simk::hooks::kBound goes on by itself, so a deadlock fails the test.
    void Unblock();
    // Completes the oldest pending request on the calling thread.
    bool CompletePending(NTSTATUS status, ULONG_PTR information = 0);
    // Completes the oldest pending request on a new thread and waits for that thread.
    bool CompletePendingOnThread(NTSTATUS status, ULONG_PTR information = 0);
    void JoinThreads();

    struct State;

private:
    std::shared_ptr<State> m_State;
};

} // namespace simk::test
