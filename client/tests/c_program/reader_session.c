/* A test engineer's program in C against msdscclient: open, version, three readers added and seen
 * started by Plug and Play, one removed and seen gone, the rest removed by closing. It knows only
 * msdscclient.h and the library. */
#include "reader_session.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "msdscclient.h"

#define STATUS_BUFFER_OVERFLOW_WARNING ((MsdscStatus)0x80000005L)
#define STATUS_INVALID_PARAMETER_ERROR ((MsdscStatus)0xC000000DL)
#define READERS 3
#define MAX_LISTED 16

static char* g_Transcript;
static size_t g_Size;

static void Say(const char* format, ...)
{
    size_t used = strlen(g_Transcript);
    va_list arguments;
    if (used + 1 >= g_Size)
        return;
    va_start(arguments, format);
    vsnprintf(g_Transcript + used, g_Size - used, format, arguments);
    va_end(arguments);
}

static uint32_t CountPresent(const MsdscReaderDevice* devices, uint32_t count, uint32_t* started)
{
    uint32_t i, present = 0;
    *started = 0;
    for (i = 0; i < count; ++i) {
        present += devices[i].present;
        *started += devices[i].present && devices[i].started;
    }
    return present;
}

/* The reader number of a handle, as the library reads it. */
static uint32_t NumberOf(const MsdscReaderHandle* handle)
{
    uint32_t number = 0xFFFFFFFFu;
    if (MsdscReaderNumberOfHandle(handle, &number, NULL) != 0)
        return 0xFFFFFFFFu;
    return number;
}

const char* RunReaderSession(char* transcript, size_t size)
{
    MsdscClient* client = NULL;
    MsdscReaderHandle handles[READERS];
    MsdscReaderDevice devices[MAX_LISTED];
    MsdscReaderDevice device;
    uint16_t version[4];
    uint32_t count = 0, started = 0, i, removedNumber = 0, found = 0;
    const char* message = NULL;
    MsdscStatus status;

    g_Transcript = transcript;
    g_Size = size;
    transcript[0] = '\0';

    status = MsdscOpen(&client, &message);
    Say("open: 0x%08lX %s\n", (unsigned long)(uint32_t)status, message);
    if (status != 0 || client == NULL)
        return "open";

    status = MsdscGetVersion(client, version, &message);
    Say("version: %u.%u.%u.%u\n", version[0], version[1], version[2], version[3]);
    if (status != 0 || version[0] != 1 || version[3] != 134)
        return "version";

    for (i = 0; i < READERS; ++i) {
        status = MsdscAddReader(client, 10 + i, i, 0, &handles[i], &message);
        Say("add: 0x%08lX %s\n", (unsigned long)(uint32_t)status, message);
        if (status != 0)
            return "add";
    }

    /* Plug and Play starts the readers on its own time: wait for each one by its handle. */
    for (i = 0; i < READERS; ++i) {
        status = MsdscWaitForReader(&handles[i], MsdscWaitForStarted, 5000, &device, &message);
        Say("reader %lu: %s, %s\n", (unsigned long)device.readerNumber, device.instancePath, message);
        if (status != 0 || !device.present || !device.started || device.problem != 0)
            return "wait for started";
        if (device.readerNumber != NumberOf(&handles[i]))
            return "the wait named another reader";
    }
    status = MsdscListReaderDevices(devices, MAX_LISTED, &count, &message);
    if (status != 0 || count != READERS)
        return "list after the adds";

    /* Too small a buffer: what fits, and the count of all. */
    status = MsdscListReaderDevices(devices, 1, &count, &message);
    if (status != STATUS_BUFFER_OVERFLOW_WARNING || count != READERS)
        return "list into one entry";
    if (MsdscListReaderDevices(NULL, 1, &count, &message) != STATUS_INVALID_PARAMETER_ERROR || message == NULL)
        return "list into no buffer";

    status = MsdscRemoveReader(client, &handles[1], &message);
    Say("remove: 0x%08lX %s\n", (unsigned long)(uint32_t)status, message);
    if (status != 0)
        return "remove";
    status = MsdscRemoveReader(client, &handles[1], &message);
    Say("remove again: 0x%08lX %s\n", (unsigned long)(uint32_t)status, message);
    if (status >= 0)
        return "remove again succeeded";

    /* The removed reader's device node stays, no longer present, as Windows keeps it. */
    status = MsdscListReaderDevices(devices, MAX_LISTED, &count, &message);
    if (status != 0 || count != READERS || CountPresent(devices, count, &started) != READERS - 1 ||
        started != READERS - 1)
        return "list after the remove";
    for (i = 0; i < count; ++i)
        if (!devices[i].present) {
            removedNumber = devices[i].readerNumber;
            ++found;
        }
    if (found != 1)
        return "one absent reader";
    if (removedNumber != NumberOf(&handles[1]))
        return "the absent node is not the removed reader's";
    /* Removed, its handle is stale: the wait for its node to go is by its number. */
    if (MsdscWaitForReader(&handles[1], MsdscWaitForGone, 5000, &device, &message) != MSDSC_STATUS_STALE_HANDLE)
        return "a removed reader's handle is not stale";
    status = MsdscWaitForReaderDevice(NumberOf(&handles[1]), MsdscWaitForGone, 5000, &device, &message);
    if (status != 0 || device.present)
        return "wait for gone";

    status = MsdscClose(client, &message);
    Say("close: 0x%08lX %s\n", (unsigned long)(uint32_t)status, message);
    if (status != 0)
        return "close";
    status = MsdscListReaderDevices(devices, MAX_LISTED, &count, &message);
    if (status != 0 || count != READERS || CountPresent(devices, count, &started) != 0)
        return "list after the close";
    return NULL;
}

const char* RunPulledBusSession(char* transcript, size_t size, void (*pullBus)(void))
{
    MsdscClient* client = NULL;
    MsdscReaderHandle handle;
    MsdscReaderDevice device;
    const char* message = NULL;
    MsdscStatus status;
    uint32_t i, added = 0;

    g_Transcript = transcript;
    g_Size = size;
    transcript[0] = '\0';
    if (MsdscOpen(&client, &message) != 0)
        return "open";
    for (i = 0; i < 4; ++i) {
        status = MsdscAddReaderAndWait(client, 20 + i, i, 0, 5000, &handle, &device, &message);
        Say("add %lu: 0x%08lX %s, reader number %lu\n", (unsigned long)i, (unsigned long)(uint32_t)status, message,
            (unsigned long)device.readerNumber);
        if (status != 0 || device.readerNumber != NumberOf(&handle) || !device.started)
            return "add and wait before the pull";
    }
    pullBus();
    /* Adds that land on the pulled bus are refused; every add that succeeds names its own reader. */
    for (i = 0; i < 6; ++i) {
        status = MsdscAddReaderAndWait(client, 30 + i, i, 1, 5000, &handle, &device, &message);
        Say("add after the pull: 0x%08lX %s, reader number %lu\n", (unsigned long)(uint32_t)status, message,
            (unsigned long)device.readerNumber);
        if (status < 0 && status != (MsdscStatus)0xC0000184L)
            return "add after the pull";
        if (status < 0)
            continue;
        ++added;
        if (device.readerNumber != NumberOf(&handle) || !device.present || !device.started)
            return "a wait after the pull named another reader";
        if (MsdscRemoveReader(client, &handle, &message) != 0)
            return "remove after the pull";
        if (MsdscWaitForReaderDevice(NumberOf(&handle), MsdscWaitForGone, 5000, &device, &message) != 0)
            return "gone after the pull";
    }
    if (added < 3)
        return "the remaining bus took too few readers";
    if (MsdscClose(client, &message) != 0)
        return "close";
    return NULL;
}
