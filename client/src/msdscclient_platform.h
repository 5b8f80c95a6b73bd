// Chooses what the client library is compiled against: Win32 on Windows, the simulated kernel's
// Win32-shaped user-mode side in the host build. Everything above this header is the same code.
#pragma once

#if defined(_WIN32)
// <windows.h> defines a few STATUS_ values itself; hold them back so that <ntstatus.h> can give
// the full set the driver answers with.
#ifndef WIN32_NO_STATUS
#define WIN32_NO_STATUS
#define MSDSC_UNDEF_WIN32_NO_STATUS
#endif
#include <windows.h>
#ifdef MSDSC_UNDEF_WIN32_NO_STATUS
#undef WIN32_NO_STATUS
#undef MSDSC_UNDEF_WIN32_NO_STATUS
#endif
#include <ntstatus.h>
#include <winioctl.h>

#ifndef NT_SUCCESS
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#endif
typedef LONG NTSTATUS;

// ntdll exports; mingw's headers declare only the second. RtlGetLastNtStatus reads the NTSTATUS
// that the last failing kernel32 call stored in the thread's environment block.
extern "C" __declspec(dllimport) NTSTATUS NTAPI RtlGetLastNtStatus(void);
extern "C" __declspec(dllimport) ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
#else
#include <wdm.h>
#include "simkernel/win32.h"
#endif

#include "msdscbus.h"
