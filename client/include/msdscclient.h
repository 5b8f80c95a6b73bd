/* msdscclient: the client library of the MicroSDSmartCardBus driver, for C, C++ and anything that can
 * call a C function in a DLL (Python's ctypes, PowerShell's Add-Type). Opens the driver's control
 * device, reads its version, adds and removes virtual readers, closes; and shows the readers as Plug
 * and Play sees them. On Windows it is msdscclient.dll with its import library libmsdscclient.dll.a;
 * in the host build libmsdscclient.so over the simulated kernel, with the same functions.
 *
 * Every call returns the NTSTATUS it ended with (0 is success, negative is failure: the driver's own
 * status, the I/O manager's in front of it, or the library's for a bad argument) and, when `message`
 * is not NULL, stores a text that says what that status means for that call: static storage, never
 * NULL, English, one line. Readers live as long as the client that added them: closing the client
 * (or the process ending) removes every reader it added. */
#ifndef MSDSCCLIENT_H
#define MSDSCCLIENT_H

#include <stdint.h>

#if defined(_WIN32)
#define MSDSC_CALL __cdecl
#if defined(MSDSC_BUILDING_LIBRARY)
#define MSDSC_API __declspec(dllexport)
#elif defined(MSDSC_LINKED_IN)
/* The library's sources built into the program itself, as the Windows tool does. */
#define MSDSC_API
#else
#define MSDSC_API __declspec(dllimport)
#endif
#else
#define MSDSC_CALL
#if defined(MSDSC_BUILDING_LIBRARY)
#define MSDSC_API __attribute__((visibility("default")))
#else
#define MSDSC_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t MsdscStatus;

/* ---- The statuses the calls return ---------------------------------------------------------------
 * Windows' NTSTATUS values under names of their own (ntstatus.h does not mix with windows.h), each
 * with what it means in the calls that return it; MsdscStatusMessage words it for one call. A call
 * may pass through another status of Windows' own; it is still negative, and its message says so. */
#define MSDSC_STATUS_SUCCESS ((MsdscStatus)0x00000000)
/* Passed through from the driver or the I/O manager. */
/* Open: the driver is not loaded, there is no control device (on Windows: no bus device installed). */
#define MSDSC_STATUS_OBJECT_NAME_NOT_FOUND ((MsdscStatus)0xC0000034)
#define MSDSC_STATUS_OBJECT_PATH_NOT_FOUND ((MsdscStatus)0xC000003A)
#define MSDSC_STATUS_NO_SUCH_DEVICE ((MsdscStatus)0xC000000E)
/* Open: only an administrator (an elevated process) may use the control device. */
#define MSDSC_STATUS_ACCESS_DENIED ((MsdscStatus)0xC0000022)
/* Open: another session holds the control device, which admits one at a time. */
#define MSDSC_STATUS_SHARING_VIOLATION ((MsdscStatus)0xC0000043)
/* Open, version, add: no bus device is installed, or none is started. */
#define MSDSC_STATUS_INVALID_DEVICE_STATE ((MsdscStatus)0xC0000184)
/* Add: the driver holds its most readers, or the system ran out of memory. */
#define MSDSC_STATUS_INSUFFICIENT_RESOURCES ((MsdscStatus)0xC000009A)
/* Version: the driver could not read its version; add: no bus is registered; remove: the handle names
 * no reader of an installed bus; the device view: Plug and Play's list could not be read. */
#define MSDSC_STATUS_UNSUCCESSFUL ((MsdscStatus)0xC0000001)
/* A request on a handle another thread closed while the request was on its way. */
#define MSDSC_STATUS_FILE_CLOSED ((MsdscStatus)0xC0000128)
/* The driver does not know the request (another version of the driver). */
#define MSDSC_STATUS_INVALID_DEVICE_REQUEST ((MsdscStatus)0xC0000010)
#define MSDSC_STATUS_NOT_IMPLEMENTED ((MsdscStatus)0xC0000002)
/* The library's own. */
/* A NULL pointer, a value out of its range, a handle that names no reader, or buffers the driver
 * refused. */
#define MSDSC_STATUS_INVALID_PARAMETER ((MsdscStatus)0xC000000D)
/* No client (NULL), or a client whose control device is closed. */
#define MSDSC_STATUS_INVALID_HANDLE ((MsdscStatus)0xC0000008)
/* The process ran out of memory for the client. */
#define MSDSC_STATUS_NO_MEMORY ((MsdscStatus)0xC0000017)
/* The driver's reply is shorter than its record. */
#define MSDSC_STATUS_INFO_LENGTH_MISMATCH ((MsdscStatus)0xC0000004)
/* A warning, not a failure: more readers than the buffer holds (MsdscListReaderDevices). */
#define MSDSC_STATUS_BUFFER_OVERFLOW ((MsdscStatus)0x80000005)
/* A wait ran out before the reader reached the state waited for. */
#define MSDSC_STATUS_IO_TIMEOUT ((MsdscStatus)0xC00000B5)
/* A wait for a start ended early: the reader's device node has a problem waiting does not cure. */
#define MSDSC_STATUS_DEVICE_CONFIGURATION_ERROR ((MsdscStatus)0xC0000182)
/* No started reader of that number has the sample reader driver over it (MsdscReadReaderConfiguration). */
#define MSDSC_STATUS_NOT_FOUND ((MsdscStatus)0xC0000225)

/* The operation a status belongs to, for MsdscStatusMessage: the same status means "no bus device is
 * installed" at open and "no bus device is started" when adding a reader. */
typedef enum MsdscOperation {
    MsdscOperationOpen = 0,
    MsdscOperationGetVersion = 1,
    MsdscOperationAddReader = 2,
    MsdscOperationRemoveReader = 3,
    MsdscOperationClose = 4,
    MsdscOperationListDevices = 5,
    MsdscOperationWaitForDevice = 6,
    MsdscOperationReadConfiguration = 7,
    MsdscOperationRebalanceReader = 8,
    MsdscOperationFailReader = 9
} MsdscOperation;

/* One open control device. Only one client at a time may hold it, system-wide. */
typedef struct MsdscClient MsdscClient;

/* Names a reader for MsdscRemoveReader and MsdscWaitForReader. Its bytes are the driver's: copy
 * them, compare them, print them, but do not build one. The library reads the reader's number out
 * of it (MsdscReaderNumberOfHandle); the tools print it as two 64-bit halves in hexadecimal,
 * BUS:READER, of which the reader half is that number. */
typedef struct MsdscReaderHandle {
    uint8_t bytes[16];
} MsdscReaderHandle;

/* A handle outlived by its reader. The library keeps, per process, every handle its clients were
 * given, and knows one as stale once a client of this process removed it, once its client closed
 * (which removed its readers), or once an add of this process got the same reader number (the
 * number now names another reader). MsdscWaitForReader and MsdscGetReaderDevice answer a stale
 * handle with this status at once, whatever reader holds its number since. Only this process's
 * calls are seen: of a handle from another process the library knows the reader number, no more,
 * and MsdscWaitForReaderDevice waits for whatever reader has that number. A customer status
 * (bit 29), no status of the system's. */
#define MSDSC_STATUS_STALE_HANDLE ((MsdscStatus)0xE0000101L)

/* The text for a status of an operation; never NULL, static storage. */
MSDSC_API const char* MSDSC_CALL MsdscStatusMessage(MsdscOperation operation, MsdscStatus status);

/* Opens the control device. On success *client is a new client; on failure it is NULL. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscOpen(MsdscClient** client, const char** message);

/* The driver's version, most significant component first: "1.2.0.134" gives 1, 2, 0, 134. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscGetVersion(MsdscClient* client, uint16_t components[4], const char** message);

/* Adds a reader with the three values its function driver reads from its hardware key ("Number",
 * "Drive", "Log"; see the package's README.md, docs/windows.md in the sources). On success *handle names it; on failure *handle is untouched.
 * The driver gives the reader a reader number of its own, which Plug and Play shows (see the device
 * view below); the reader's device node appears, and starts, shortly after this returns. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscAddReader(MsdscClient* client, uint32_t number, uint32_t drive, uint32_t log,
                                                MsdscReaderHandle* handle, const char** message);

MSDSC_API MsdscStatus MSDSC_CALL MsdscRemoveReader(MsdscClient* client, const MsdscReaderHandle* handle,
                                                   const char** message);

/* The reader number a handle names: the reader's instance ID, which Plug and Play and the device
 * view below show. MSDSC_STATUS_INVALID_PARAMETER for bytes that name no reader number. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscReaderNumberOfHandle(const MsdscReaderHandle* handle, uint32_t* readerNumber,
                                                           const char** message);

/* Closes the control device, which removes every reader of this client, and frees the client, also
 * when closing failed. May be called from another thread (a console's Ctrl+C handler) while a call
 * on the same client runs: that call finishes (a request not yet sent fails with
 * MSDSC_STATUS_INVALID_HANDLE) and the client is freed when it returns. The pointer must not
 * be used for a new call afterwards. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscClose(MsdscClient* client, const char** message);

/* ---- The device view: the readers as Plug and Play sees them ------------------------------------
 * Every device node with the reader's hardware ID MicroSDSmartCardBus\MicroSDSmartCardReader that
 * Plug and Play has ever created on this machine: present ones (a bus reports the reader now) and
 * ones that are no longer present, which Windows keeps in the registry until they are removed.
 * Needs no open client. */

/* Instance paths are at most 200 characters (MAX_DEVICE_ID_LEN, terminator included). */
#define MSDSC_INSTANCE_PATH_SIZE 200
/* Service names of the drivers bound to a reader, terminator included. */
#define MSDSC_DRIVER_NAME_SIZE 32

typedef struct MsdscReaderDevice {
    /* The driver's number for the reader: its bus number in the bus information it reports, and the
     * last part of the instance path. A new reader takes the lowest number no reader holds (below
     * 256), so the same number, and on the same bus the same device node, serves later readers, in
     * this load and after a reload: a slot. The handle's generation tells them apart. */
    uint32_t readerNumber;
    uint32_t present; /* 1: the device node is in the device tree now */
    uint32_t started; /* 1: started (its function driver's start succeeded) */
    /* Windows' problem code (CM_PROB_*, as Device Manager shows "Code N"), 0 when none: 28 no driver
     * installed, 31 the driver's AddDevice failed, 10 the start failed, 22 disabled. */
    uint32_t problem;
    /* "MICROSDSMARTCARDBUS\MICROSDSMARTCARDREADER\..." as Windows built it (it may put a prefix of
     * the parent's before the reader number); UTF-8, terminated. */
    char instancePath[MSDSC_INSTANCE_PATH_SIZE];
    /* The service of the reader's function driver as Plug and Play bound it ("msdscsample" for the
     * sample reader driver); empty when none is installed for the reader (problem 28). UTF-8. */
    char driver[MSDSC_DRIVER_NAME_SIZE];
    /* 1: Plug and Play reported the node's state (always on Windows and in the host build). 0: it
     * reports none (Wine 8.0 answers every node alike); then present is 1 and problem 0 for want of
     * better, and started is 1 only when the sample reader driver over it answered, which it does
     * only while it runs; nothing else is known. */
    uint32_t stateReported;
} MsdscReaderDevice;

/* Fills devices[0..capacity) in increasing reader number and stores the number of readers in *count.
 * With capacity too small, fills what fits and returns MSDSC_STATUS_BUFFER_OVERFLOW (a warning:
 * *count says how many there are); devices may be NULL when capacity is 0. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscListReaderDevices(MsdscReaderDevice* devices, uint32_t capacity, uint32_t* count,
                                                        const char** message);

typedef enum MsdscWaitFor {
    MsdscWaitForStarted = 0, /* the reader's device node is present and started */
    MsdscWaitForGone = 1     /* no present device node has the reader's number */
} MsdscWaitFor;

/* Waits until reader `readerNumber` is started (or gone), at most timeoutMs milliseconds. Returns 0
 * when it is; MSDSC_STATUS_IO_TIMEOUT when the time ran out; a wait for the start ends early
 * on a problem code waiting does not cure (see MsdscWaitForReader). *device (may be NULL) receives
 * the reader's last state; readerNumber alone and present 0 when no device node has that number. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscWaitForReaderDevice(uint32_t readerNumber, MsdscWaitFor what, uint32_t timeoutMs,
                                                          MsdscReaderDevice* device, const char** message);

/* A started reader's configuration as its function driver read it from the reader's hardware key,
 * when that driver is the sample reader driver: the four values and the sample's version, most
 * significant component first. */
typedef struct MsdscReaderConfiguration {
    uint32_t number;
    uint32_t drive;
    uint32_t log;
    uint32_t exists;
    uint16_t driverVersion[4];
} MsdscReaderConfiguration;

/* Asks the sample reader driver over reader `readerNumber`, through its device interface, what it
 * read at its start. MSDSC_STATUS_NOT_FOUND when no started reader of that number has the
 * sample as its function driver (another driver, none, or not started). Needs no open client. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscReadReaderConfiguration(uint32_t readerNumber,
                                                              MsdscReaderConfiguration* configuration,
                                                              const char** message);

typedef enum MsdscDeviceKind {
    MsdscDeviceBus = 0,   /* the root-enumerated bus device (hardware ID Root\MicroSDSmartCardBus) */
    MsdscDeviceReader = 1 /* a reader's device node */
} MsdscDeviceKind;

/* What Windows' problem code `problem` (the `problem` of MsdscReaderDevice, Device Manager's "Code N")
 * means for a bus or a reader, and what to do about it, in one sentence; never NULL, static storage,
 * empty for 0. *waitHelps (may be NULL) is 1 for 0 and for the problems Windows shows while a device
 * still installs (1, 18), which end by themselves; 0 for every other one (28 no function driver, 31
 * AddDevice failed, 10 the start failed, 39 the driver did not load, 52 its signature is not
 * trusted, 22 disabled, and the rest), which stays until someone acts: a wait for a start would
 * only run out. */
MSDSC_API const char* MSDSC_CALL MsdscProblemAdvice(MsdscDeviceKind kind, uint32_t problem, uint32_t* waitHelps);

/* Waits for the reader a handle names, as MsdscWaitForReaderDevice does for its number; at once with
 * MSDSC_STATUS_STALE_HANDLE when the handle is stale (see there). Also ends,
 * at once, when the reader's device node has a problem that waiting does not cure: 28 (no function
 * driver installed), 31 (its AddDevice failed), 10 (its start failed), 39 (the driver could not be
 * loaded), 52 (its signature could not be verified), 22 (disabled). Then it returns
 * MSDSC_STATUS_DEVICE_CONFIGURATION_ERROR, *device carries the problem code and the message
 * says what to do about it. Any other state that is not yet started (no node, problems 1 and 18,
 * present without a problem) is waited for. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscWaitForReader(const MsdscReaderHandle* handle, MsdscWaitFor what,
                                                    uint32_t timeoutMs, MsdscReaderDevice* device,
                                                    const char** message);

/* The reader's device node as Plug and Play shows it now (the present one, if the number has one
 * present and others not). MSDSC_STATUS_NOT_FOUND when no device node has the handle's
 * reader number; MSDSC_STATUS_STALE_HANDLE for a stale handle. Needs no open client. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscGetReaderDevice(const MsdscReaderHandle* handle, MsdscReaderDevice* device,
                                                      const char** message);

/* MsdscAddReader, then MsdscWaitForReader(started) on the new reader. When the add fails *handle is
 * untouched and the add's status is returned; when only the wait fails the reader stays added,
 * *handle names it (remove it, or let MsdscClose do so) and the wait's status is returned. */
MSDSC_API MsdscStatus MSDSC_CALL MsdscAddReaderAndWait(MsdscClient* client, uint32_t number, uint32_t drive,
                                                       uint32_t log, uint32_t timeoutMs, MsdscReaderHandle* handle,
                                                       MsdscReaderDevice* device, const char** message);

/* Bus devices present on the machine (device nodes with the hardware ID Root\MicroSDSmartCardBus).
 * Needs no open client: 0 tells "no bus device is installed" apart from "no reader yet". */
MSDSC_API MsdscStatus MSDSC_CALL MsdscCountBusDevices(uint32_t* count, const char** message);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MSDSCCLIENT_H */
