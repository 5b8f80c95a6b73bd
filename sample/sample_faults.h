// Faulty variants of the sample reader driver, for the battery's own tests: each a mistake a reader
// driver really makes, switched on in the host build's msdscsample-faults image alone (built with
// MSDSC_SAMPLE_FAULTS and sample/faults/); in msdscsample.sys every check below is a constant false.
#pragma once
#include <ntddk.h>

enum class SampleFault : ULONG {
    None,
    LeakOnRemoval,            // the removal forgets to free the interface's name
    FailingRestart,           // a start after a removal the bus did not ask for fails
    VetoQueryRemove,          // every query-remove is refused
    HangAfterSurpriseRemoval, // a control request after the surprise removal waits for the close
    InterfaceLeftEnabled,     // the interface is never switched off
    StartNeverCompletes,      // the start is left pending for ever
};

#ifdef MSDSC_SAMPLE_FAULTS
// The fault named by the service the image was installed as: "msdscsample-<fault>".
NTSTATUS SampleChooseFault(PUNICODE_STRING RegistryPath);
bool SampleHasFault(SampleFault Fault);
// FailingRestart: the device's stack was removed while its bus still reports it (after a
// query-remove), or for good (after a surprise removal).
void SampleFaultNoteRemoval(PDEVICE_OBJECT Pdo, bool SurpriseRemoved);
bool SampleFaultRefusesStart(PDEVICE_OBJECT Pdo);
// HangAfterSurpriseRemoval: the request held until the handle's cleanup; null when none.
void SampleFaultHold(PDEVICE_OBJECT Device, PIRP Irp);
PIRP SampleFaultRelease(PDEVICE_OBJECT Device);
#else
constexpr bool SampleHasFault(SampleFault) { return false; }
inline void SampleFaultNoteRemoval(PDEVICE_OBJECT, bool) {}
constexpr bool SampleFaultRefusesStart(PDEVICE_OBJECT) { return false; }
inline void SampleFaultHold(PDEVICE_OBJECT, PIRP) {}
constexpr PIRP SampleFaultRelease(PDEVICE_OBJECT) { return nullptr; }
#endif
