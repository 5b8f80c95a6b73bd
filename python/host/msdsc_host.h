/* msdschost: the simulated machine behind libmsdscclient.so in the host build, for programs that
 * drive the client library from outside C++ (the Python package's tests): the driver image loaded
 * into the simulated kernel, N root bus devices started through its Plug and Play manager, and
 * what a test checks afterwards (the driver's pool, verifier violations). One machine per process. */
#ifndef MSDSC_HOST_H
#define MSDSC_HOST_H

#include <stdint.h>

#if defined(MSDSC_HOST_BUILDING)
#define MSDSC_HOST_API __attribute__((visibility("default")))
#else
#define MSDSC_HOST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The driver image the library was built with. */
MSDSC_HOST_API const char* MsdscHostDefaultDriverImage(void);

/* The most bus devices a machine takes, as the host tool's --buses. */
#define MSDSC_HOST_MAX_BUSES 64

/* Starts a fresh simulated kernel, loads the driver image (NULL: the default) and creates `buses`
 * root bus devices (0 to MSDSC_HOST_MAX_BUSES), each started. Returns 0, or -1 with the reason in
 * error[0..errorSize) and no machine left running. Fails when a machine is running already. */
MSDSC_HOST_API int32_t MsdscHostStart(const char* driverImage, uint32_t buses, char* error, uint32_t errorSize);

/* Lets Plug and Play finish what the driver asked for, then resets the simulated kernel. Every
 * client of the machine must be closed before: their handles die with it. */
MSDSC_HOST_API void MsdscHostStop(void);

/* 1 while a machine is running. */
MSDSC_HOST_API int32_t MsdscHostRunning(void);

/* Surprise-removes bus `index` (0-based, in creation order), as when its device is pulled out.
 * Returns 0, or -1 when there is no such bus or no machine. */
MSDSC_HOST_API int32_t MsdscHostSurpriseRemoveBus(uint32_t index);

/* Uninstalls the reader's function driver, as on a machine where none was ever installed: readers
 * enumerated from now on stay present, not started, with problem 28 (readers already started keep
 * their driver). Returns 0, or -1 when there is no machine. */
MSDSC_HOST_API int32_t MsdscHostUninstallReaderDriver(void);

/* Pool blocks the driver holds now, after letting Plug and Play finish its work. */
MSDSC_HOST_API uint64_t MsdscHostDriverPoolBlocks(void);

/* Verifier violations since the start: their number; text receives them one a line, truncated to
 * textSize (may be NULL when textSize is 0). */
MSDSC_HOST_API uint32_t MsdscHostViolations(char* text, uint32_t textSize);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MSDSC_HOST_H */
