// Force-included before every source of the kernel image: settles what mingw-w64's kernel
// headers leave open so that <ntddk.h>/<wdm.h> declare exactly what the oldest supported x64
// kernel exports.
#pragma once

// wdm.h tests NTDDI_VERSION against the NTDDI_* constants but never includes the header that
// defines them; an undefined constant compares as 0 and would switch on every newer declaration.
#include <sdkddkver.h>

// wdm.h spells the Vista constant NTDDI_WINVISTA, which sdkddkver.h does not define (it has
// NTDDI_VISTA). Without this the Vista-only power context member is compiled in and names a type
// the headers never declare.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif
