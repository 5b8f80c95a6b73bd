// The table of the sample's faulty variants and the little state they keep; compiled into the host
// build's msdscsample-faults image only.
#include <ntddk.h>

#include "sample/sample_faults.h"

namespace {

struct FaultName {
    const WCHAR* Name;
    SampleFault Fault;
};
const FaultName FAULTS[] = {
    {L"leak-on-removal", SampleFault::LeakOnRemoval},
    {L"failing-restart", SampleFault::FailingRestart},
    {L"veto-query-remove", SampleFault::VetoQueryRemove},
    {L"hang-after-surprise-removal", SampleFault::HangAfterSurpriseRemoval},
    {L"interface-left-enabled", SampleFault::InterfaceLeftEnabled},
    {L"start-never-completes", SampleFault::StartNeverCompletes},
};
const WCHAR SERVICE_PREFIX[] = L"msdscsample-";

SampleFault g_Fault = SampleFault::None;

// Small fixed tables: a test adds a handful of readers at a time.
constexpr ULONG SLOTS = 64;
PDEVICE_OBJECT g_RemovedInPlace[SLOTS];
struct Held {
    PDEVICE_OBJECT Device;
    PIRP Irp;
};
Held g_Held[SLOTS];
KSPIN_LOCK g_Lock;

bool SameText(const WCHAR* a, const WCHAR* b, USHORT length)
{
    for (USHORT i = 0; i < length; ++i)
        if (a[i] != b[i] || b[i] == 0)
            return false;
    return b[length] == 0;
}

} // namespace

NTSTATUS SampleChooseFault(PUNICODE_STRING RegistryPath)
{
    KeInitializeSpinLock(&g_Lock);
    const USHORT length = RegistryPath->Length / sizeof(WCHAR);
    USHORT start = length;
    while (start > 0 && RegistryPath->Buffer[start - 1] != L'\\')
        --start;
    const USHORT prefix = sizeof(SERVICE_PREFIX) / sizeof(WCHAR) - 1;
    const WCHAR* service = RegistryPath->Buffer + start;
    if (length - start <= prefix)
        return STATUS_INVALID_PARAMETER;
    for (USHORT i = 0; i < prefix; ++i)
        if (service[i] != SERVICE_PREFIX[i])
            return STATUS_INVALID_PARAMETER;
    for (const FaultName& fault : FAULTS) {
        if (SameText(service + prefix, fault.Name, static_cast<USHORT>(length - start - prefix))) {
            g_Fault = fault.Fault;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

bool SampleHasFault(SampleFault Fault) { return g_Fault == Fault; }

void SampleFaultNoteRemoval(PDEVICE_OBJECT Pdo, bool SurpriseRemoved)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Lock, &irql);
    for (PDEVICE_OBJECT& slot : g_RemovedInPlace) {
        if (slot == Pdo)
            slot = nullptr;
    }
    if (!SurpriseRemoved) {
        for (PDEVICE_OBJECT& slot : g_RemovedInPlace) {
            if (slot == nullptr) {
                slot = Pdo;
                break;
            }
        }
    }
    KeReleaseSpinLock(&g_Lock, irql);
}

bool SampleFaultRefusesStart(PDEVICE_OBJECT Pdo)
{
    if (g_Fault != SampleFault::FailingRestart)
        return false;
    KIRQL irql;
    KeAcquireSpinLock(&g_Lock, &irql);
    bool refused = false;
    for (PDEVICE_OBJECT slot : g_RemovedInPlace)
        refused = refused || slot == Pdo;
    KeReleaseSpinLock(&g_Lock, irql);
    return refused;
}

void SampleFaultHold(PDEVICE_OBJECT Device, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Lock, &irql);
    for (Held& held : g_Held) {
        if (held.Irp == nullptr) {
            held = Held{Device, Irp};
            break;
        }
    }
    KeReleaseSpinLock(&g_Lock, irql);
}

PIRP SampleFaultRelease(PDEVICE_OBJECT Device)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_Lock, &irql);
    PIRP irp = nullptr;
    for (Held& held : g_Held) {
        if (held.Irp != nullptr && held.Device == Device) {
            irp = held.Irp;
            held = Held{};
            break;
        }
    }
    KeReleaseSpinLock(&g_Lock, irql);
    return irp;
}
