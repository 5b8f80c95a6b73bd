// The records and control codes shared by the driver and its user-mode client, and the one
// definition of a handle's layout. Include it after <ntddk.h>/<wdm.h> in the driver, or after
// <windows.h> and <winioctl.h> in user mode; the records and the handle helpers are C as well.
#pragma once

#ifndef CTL_CODE
#error "msdscbus.h needs CTL_CODE: include <ntddk.h>, or <windows.h> and <winioctl.h>, first"
#endif

// Every control request is buffered and open to any handle the control device admitted; only its
// function number tells them apart. CONTROL_REQUESTS below says what each takes and gives.
#define MSDSC_CONTROL_CODE(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, Function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BUS_GET_VERSION MSDSC_CONTROL_CODE(0x800)
#define IOCTL_BUS_ADD_READER MSDSC_CONTROL_CODE(0x802)
#define IOCTL_BUS_REMOVE_READER MSDSC_CONTROL_CODE(0x803)
// Each takes the BusReaderHandle of a started reader of the caller's session, as the removal does,
// and returns once Plug and Play has been asked to query the reader's device state.
#define IOCTL_BUS_REBALANCE_READER MSDSC_CONTROL_CODE(0x804)
#define IOCTL_BUS_FAIL_READER MSDSC_CONTROL_CODE(0x805)

// The driver's version, last component first: "1.2.0.134" is { 134, 0, 2, 1 }, which read as one
// little-endian 64-bit number is 0x0001000200000086.
typedef struct DriverVersion {
    USHORT Elements[4];
} DriverVersion;

// What the client gives for a new reader; the reader writes the three values to its hardware key.
typedef struct ReaderConfig {
    ULONG Number;
    ULONG Drive;
    ULONG Log;
} ReaderConfig;

// Names a reader without a kernel address. BusHandle: a tag of this load of the driver (upper 32
// bits) and the bus's serial number; ReaderHandle: the reader's generation (upper 32 bits, which
// reader of this load held the number) and its number (lower 32 bits), the decimal instance ID Plug
// and Play shows for it. Numbers are reused once their reader is gone; generations are not within a
// load. Opaque to the client; the driver only compares the halves with what it keeps, so a stale
// handle, one of an earlier load or a forged one matches no reader.
typedef struct BusReaderHandle {
    ULONG64 BusHandle;
    ULONG64 ReaderHandle;
} BusReaderHandle;

// Each half is two 32-bit fields, the first in the upper bits. Only these six build or take apart a
// half, in the driver and in every program that reads one.
static inline ULONG64 MsdscMakeBusHandle(ULONG Tag, ULONG Serial) { return ((ULONG64)Tag << 32) | Serial; }
static inline ULONG MsdscBusHandleTag(ULONG64 BusHandle) { return (ULONG)(BusHandle >> 32); }
static inline ULONG MsdscBusHandleSerial(ULONG64 BusHandle) { return (ULONG)BusHandle; }
static inline ULONG64 MsdscMakeReaderHandle(ULONG Generation, ULONG Number)
{
    return ((ULONG64)Generation << 32) | Number;
}
static inline ULONG MsdscReaderHandleGeneration(ULONG64 ReaderHandle) { return (ULONG)(ReaderHandle >> 32); }
static inline ULONG MsdscReaderHandleNumber(ULONG64 ReaderHandle) { return (ULONG)ReaderHandle; }

#ifdef __cplusplus
// The most readers the driver holds at once, over all its buses (a reader that has left its bus
// counts until Plug and Play has removed it); reader numbers lie in [0, MAX_READERS), and an add
// beyond it fails with STATUS_INSUFFICIENT_RESOURCES. A rig exercises a reader stack with a handful
// of readers; the cap keeps what one session can make the system keep (device objects, pool, and
// for good the device nodes and their registry keys, which Windows never deletes: at most this
// many per bus) to a size nobody notices, while leaving room for any rig's test of many readers.
constexpr ULONG MAX_READERS = 256;

// The cap's one check: the driver gives a reader number only where this holds (TakeReaderNumber,
// reader/reader_device.cpp), and a client finds a reader's number in a handle only where it holds.
constexpr bool IsWithinReaderCap(ULONG ReaderNumber) { return ReaderNumber < MAX_READERS; }

// One row per control request: the driver's dispatch and refusals, the client's calls and every
// test of the wire read these facts here and nowhere else. A request is refused, in this order, with
// STATUS_INVALID_DEVICE_STATE when it needs a registered bus and none is, then with
// STATUS_INVALID_PARAMETER when its input or output is shorter than its record; a success hands
// back exactly OutputSize bytes.
struct ControlRequest {
    ULONG Code;
    // The request's name in the driver's messages and the tests.
    const char* Name;
    // The input and output records' sizes; 0: the request reads none or hands none back.
    ULONG InputSize;
    ULONG OutputSize;
    bool NeedsBus;
    // The client library's MsdscOperation for the call that sends it (msdscclient.h).
    int ClientOperation;
};

constexpr ControlRequest CONTROL_REQUESTS[] = {
    {IOCTL_BUS_GET_VERSION, "version", 0, sizeof(DriverVersion), true, 1},
    {IOCTL_BUS_ADD_READER, "add reader", sizeof(ReaderConfig), sizeof(BusReaderHandle), true, 2},
    // No bus test: a client may always try to remove what it was given.
    {IOCTL_BUS_REMOVE_READER, "remove reader", sizeof(BusReaderHandle), 0, false, 3},
    {IOCTL_BUS_REBALANCE_READER, "rebalance reader", sizeof(BusReaderHandle), 0, false, 8},
    {IOCTL_BUS_FAIL_READER, "fail reader", sizeof(BusReaderHandle), 0, false, 9},
};

constexpr ULONG CONTROL_REQUEST_COUNT = sizeof(CONTROL_REQUESTS) / sizeof(CONTROL_REQUESTS[0]);

// The row of a control code; null for a code the driver does not know.
constexpr const ControlRequest* FindControlRequest(ULONG Code)
{
    for (const ControlRequest& request : CONTROL_REQUESTS) {
        if (request.Code == Code) {
            return &request;
        }
    }
    return nullptr;
}

static_assert(sizeof(DriverVersion) == 8, "DriverVersion is 8 bytes on the wire");
static_assert(sizeof(ReaderConfig) == 12, "ReaderConfig is 12 bytes on the wire");
static_assert(sizeof(BusReaderHandle) == 16, "BusReaderHandle is 16 bytes on the wire");
static_assert(IOCTL_BUS_GET_VERSION == 0x222000, "control code of the version request");
static_assert(IOCTL_BUS_ADD_READER == 0x222008, "control code of the add-reader request");
static_assert(IOCTL_BUS_REMOVE_READER == 0x22200C, "control code of the remove-reader request");
static_assert(IOCTL_BUS_REBALANCE_READER == 0x222010, "control code of the rebalance-reader request");
static_assert(IOCTL_BUS_FAIL_READER == 0x222014, "control code of the fail-reader request");
#endif
