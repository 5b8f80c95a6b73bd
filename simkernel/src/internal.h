// Hooks shared by the managers of the simulated kernel (I/O, executive, loader, verifier, Plug and
// Play, power, registry). Not part of the test-facing interface.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "simkernel/faults.h"
#include "simkernel/verifier.h"

namespace simk::detail {

// ---- Reset hooks, defined by the Plug and Play, registry and power managers -----------------
// ResetKernel calls them first (Pnp, Power, Registry), before the I/O manager frees device objects.
void ResetPnp();
void ResetRegistry();
void ResetPower();

// ---- Object handles (security.cpp) -----------------------------------------------------------
// ZwClose of a handle ObOpenObjectByPointer gave; false when it is not such a handle.
bool CloseObjectHandle(HANDLE handle);

// ---- Verifier helpers ------------------------------------------------------------------------
// Reports `rule` when the calling thread's IRQL is above `maxIrql`; returns true when it is not.
bool RequireIrql(KIRQL maxIrql, const char* rule, const char* function);

// ---- Call points (faults.cpp) ------------------------------------------------------------------
// Counts a call of a hookable routine and runs what is armed before it; true (with *status set)
// when fault injection makes the call fail. `object` is the routine's first argument.
bool CallBefore(Call call, const void* object, ULONG tag, NTSTATUS* status);
// Runs what is armed after the call.
void CallAfter(Call call, const void* object);
inline bool ShouldFail(Call call, NTSTATUS* status) { return CallBefore(call, nullptr, 0, status); }
// Runs what is armed after the call when the routine returns, on every path.
class AfterCall {
public:
    AfterCall(Call call, const void* object) : m_Call(call), m_Object(object) {}
    ~AfterCall() { CallAfter(m_Call, m_Object); }
    AfterCall(const AfterCall&) = delete;
    AfterCall& operator=(const AfterCall&) = delete;

private:
    Call m_Call;
    const void* m_Object;
};

// What is armed at a call point: the Nth matching call (every one when nth is 0) at one of the
// sites, on one thread (any when null), with one pool tag (any when 0), accepted by `match`.
struct ArmPlan {
    std::vector<std::pair<Call, When>> sites;
    unsigned nth = 0;
    HANDLE thread = nullptr;
    ULONG tag = 0;
    std::function<bool(const CallSite&)> match;
    bool fails = false;  // fault injection: the call fails with `status`
    NTSTATUS status = STATUS_SUCCESS;
    std::function<void(const CallSite&)> run;  // a hook: runs on the calling thread, outside any kernel lock
    bool fault = false;  // armed through the fault-injection interface (DisarmAll removes it)
};
unsigned long long AddArm(ArmPlan plan);
void RemoveArm(unsigned long long id);

// PoStartNextPowerIrp (power manager) notes the IRP at its current stack location; IofCompleteRequest
// checks that a power IRP's completer did so.
void NotePoStartNextPowerIrp(PIRP irp);

// ---- Driver attribution ----------------------------------------------------------------------
// While alive, pool allocations and objects created on this thread are attributed to `driver`
// (used around DriverEntry, AddDevice, dispatch and completion routines, DriverUnload).
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    PDRIVER_OBJECT m_Previous;
};
PDRIVER_OBJECT CurrentDriver();
std::string DriverNameForMessages(PDRIVER_OBJECT driver);  // "\Driver\X" or "(kernel)"

// Calls AddDevice at PASSIVE_LEVEL in the driver's scope, with the verifier's IRQL check on return.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject);

// ---- Kernel-internal memory --------------------------------------------------------------------
// Pool owned by the kernel itself: counted in the pool accounting, never failed by fault injection,
// never attributed to a driver.
PVOID AllocateKernelPool(POOL_TYPE type, SIZE_T size, ULONG tag);
void FreeKernelPool(PVOID p);

// Called by the pool and the I/O manager when memory goes away, so lock-order state about locks in
// that memory is forgotten.
void ForgetLocksIn(const void* begin, size_t size);

// ---- Reset of the managers this library implements itself ------------------------------------
void ResetIo();       // device objects, files, IRPs, names, driver objects (loader drops images after)
void ResetLoader();
void ResetPool();
void ResetSync();     // lock graph, per-thread lock state of the resetting thread
void ResetRtl();
void ResetFaults();
void ResetVerifier();

}  // namespace simk::detail
