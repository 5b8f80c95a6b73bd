// msdscwine.exe: the Windows side of the end-to-end test under Wine (scripts/wine-test.sh). It
// prepares the prefix the way a machine that has seen the readers before would be, drives the
// control device with raw requests on one handle, and reads what the readers wrote to the registry.
// Every check prints one line; the exit code is the number of failed checks (capped), 0 when all pass.
#ifndef WIN32_NO_STATUS
#define WIN32_NO_STATUS
#endif
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winioctl.h>

#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msdscbus.h"
#include "msdscsample.h"
#include "msdscnames.h"
#include "windows_helpers.h"

extern "C" __declspec(dllimport) NTSTATUS NTAPI RtlGetLastNtStatus(void);

namespace {

using msdsc::DeviceInfoSet;
using msdsc::ForEachInterface;
using msdsc::HasHardwareId;
using msdsc::Utf8;

const wchar_t CONTROL_DEVICE[] = MSDSC_WIDE(MSDSC_CONTROL_USER_PATH);
const wchar_t READER_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_READER_HARDWARE_ID);
const wchar_t BUS_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_BUS_HARDWARE_ID);
const wchar_t READER_INSTANCE_PREFIX[] = L"MICROSDSMARTCARDBUS\\MICROSDSMARTCARDREADER\\";
const wchar_t READER_ENUM_KEY[] = L"System\\CurrentControlSet\\Enum\\MICROSDSMARTCARDBUS\\MICROSDSMARTCARDREADER\\";
const wchar_t BUS_SERVICE[] = L"msdscbus";
const wchar_t FILL_SERVICE[] = L"winefill";
const wchar_t SAMPLE_SERVICE[] = L"msdscsample";
const GUID SAMPLE_INTERFACE = MSDSC_SAMPLE_INTERFACE_GUID_INITIALIZER;
// Wine's service manager runs the kernel drivers of one load-order group in one winedevice process;
// the group puts msdscbus.sys next to winefill.sys, and the sample reader driver in the same process
// as the readers it attaches over (Wine keeps a device stack in one process).
const wchar_t SHARED_GROUP[] = L"MsdscWineTest";
// Function number 0x801, between the version and the add request, is not assigned.
const DWORD IOCTL_UNASSIGNED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

int g_Passed = 0;
int g_Failed = 0;

void Check(bool ok, const char* what, const std::string& detail = std::string())
{
    (ok ? g_Passed : g_Failed)++;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
}

std::string Format(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    return text;
}

// Pointers as Wine's debug channels print them, so the script can find them in the winedevice log.
std::string Pointer(ULONG64 value) { return Format("%016llX", static_cast<unsigned long long>(value)); }

int Finish()
{
    std::printf("%d passed, %d failed\n", g_Passed, g_Failed);
    return g_Failed > 100 ? 100 : g_Failed;
}

// --- the control device -------------------------------------------------------------------------

struct Reply {
    bool ok;
    DWORD returned;
    DWORD error;     // GetLastError after a failure
    NTSTATUS status; // the driver's status behind it
};

Reply Control(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength)
{
    Reply reply{};
    SetLastError(0);
    reply.ok = DeviceIoControl(device, code, const_cast<void*>(in), inLength, out, outLength, &reply.returned,
                               nullptr) != FALSE;
    if (!reply.ok) {
        reply.error = GetLastError();
        reply.status = RtlGetLastNtStatus();
    }
    return reply;
}

std::string Describe(const Reply& reply)
{
    return reply.ok ? Format("succeeded, %lu bytes", reply.returned)
                    : Format("failed with error %lu (status 0x%08lX)", reply.error,
                             static_cast<unsigned long>(reply.status));
}

void ExpectFailure(const Reply& reply, DWORD error, NTSTATUS status, const char* what)
{
    Check(!reply.ok && reply.error == error && reply.status == status, what,
          Describe(reply) + Format("; expected error %lu (status 0x%08lX)", error, static_cast<unsigned long>(status)));
}

// --- the registry values of a reader ------------------------------------------------------------

struct Values {
    bool present[4];
    DWORD value[4];
};
const wchar_t* const VALUE_NAMES[4] = {MSDSC_WIDE(MSDSC_VALUE_NUMBER), MSDSC_WIDE(MSDSC_VALUE_DRIVE),
                                       MSDSC_WIDE(MSDSC_VALUE_LOG), MSDSC_WIDE(MSDSC_VALUE_EXISTS)};

Values ReadValues(unsigned instance)
{
    Values values{};
    const std::wstring path = std::wstring(READER_ENUM_KEY) + std::to_wstring(instance) + L"\\Device Parameters";
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (int i = 0; i < 4; ++i) {
        DWORD type = 0, data = 0, size = sizeof(data);
        values.present[i] = RegQueryValueExW(key, VALUE_NAMES[i], nullptr, &type, reinterpret_cast<BYTE*>(&data),
                                             &size) == ERROR_SUCCESS &&
                            type == REG_DWORD && size == sizeof(DWORD);
        values.value[i] = data;
    }
    RegCloseKey(key);
    return values;
}

bool AnyValue(const Values& values)
{
    return values.present[0] || values.present[1] || values.present[2] || values.present[3];
}

bool Matches(const Values& values, const ReaderConfig& config)
{
    const DWORD expected[4] = {config.Number, config.Drive, config.Log, 1};
    for (int i = 0; i < 4; ++i)
        if (!values.present[i] || values.value[i] != expected[i])
            return false;
    return true;
}

std::string Show(const Values& values)
{
    std::string text;
    for (int i = 0; i < 4; ++i)
        text += Format("%s%s=%s", i ? " " : "", Utf8(VALUE_NAMES[i]).c_str(),
                       values.present[i] ? Format("0x%lX", values.value[i]).c_str() : "(none)");
    return text;
}

// Wine enumerates a bus's new children on a thread of its own after IoInvalidateDeviceRelations,
// and starts each one there: the values appear some time after the add request has returned.
Values WaitForValues(unsigned instance, const ReaderConfig& config, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        const Values values = ReadValues(instance);
        if (Matches(values, config) || GetTickCount() - start > timeoutMs)
            return values;
        Sleep(50);
    }
}

// --- the values as the sample reader driver read them -------------------------------------------

// The reader's instance ID as Wine spells it in upper case, for a comparison without case.
bool IsReader(const wchar_t* instanceId, unsigned instance)
{
    return lstrcmpiW(instanceId, (std::wstring(READER_INSTANCE_PREFIX) + std::to_wstring(instance)).c_str()) == 0;
}

// Asks the sample over reader `instance` what it read at its start, through its device interface.
// Wine lists the interfaces of readers that are gone too, and an interface only appears once the
// sample has started: the reader's own one is looked for until it answers.
bool ReadThroughSample(unsigned instance, SampleConfiguration* read, std::string* detail)
{
    DeviceInfoSet set(SetupDiGetClassDevsW(&SAMPLE_INTERFACE, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT));
    if (!set.Valid()) {
        *detail = Format("no interface list, error %lu", GetLastError());
        return false;
    }
    *detail = "no interface of the sample for this reader";
    return ForEachInterface(set.Get(), SAMPLE_INTERFACE, [&](const wchar_t* path, const wchar_t* instanceId) {
        if (!IsReader(instanceId, instance))
            return false;
        HANDLE sample = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (sample == INVALID_HANDLE_VALUE) {
            *detail = Format("the interface does not open, error %lu", GetLastError());
            return false;
        }
        const Reply reply = Control(sample, IOCTL_SAMPLE_GET_CONFIGURATION, nullptr, 0, read, sizeof(*read));
        CloseHandle(sample);
        if (reply.ok && reply.returned == sizeof(*read))
            return true;
        *detail = "the configuration request " + Describe(reply);
        return false;
    });
}

void ExpectSampleValues(unsigned instance, const ReaderConfig& config)
{
    SampleConfiguration read{};
    std::string detail;
    const DWORD start = GetTickCount();
    bool answered = false;
    while (!(answered = ReadThroughSample(instance, &read, &detail)) && GetTickCount() - start < 15000)
        Sleep(100);
    const bool same = answered && read.Number == config.Number && read.Drive == config.Drive &&
                      read.Log == config.Log && read.Exists == 1;
    const DriverVersion& v = read.SampleVersion;
    Check(same,
          Format("the sample over reader %u read Number 0x%lX, Drive 0x%lX, Log 0x%lX, Exists 1 at its start", instance,
                 config.Number, config.Drive, config.Log)
              .c_str(),
          answered
              ? Format("Number=0x%lX Drive=0x%lX Log=0x%lX Exists=0x%lX, sample version %u.%u.%u.%u", read.Number,
                       read.Drive, read.Log, read.Exists, v.Elements[3], v.Elements[2], v.Elements[1], v.Elements[0])
              : detail);
}

// --- set-up steps -------------------------------------------------------------------------------

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs, SERVICE_STATUS* status)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (!QueryServiceStatus(service, status))
            return false;
        if (status->dwCurrentState == state)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
}

// Creates the three driver services in one load-order group and starts winefill.sys, so that the
// driver install that follows starts msdscbus.sys in the process where the missing calls are filled.
// The INF's AddService keeps a group it does not name.
int PrepareServices()
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring fill = std::wstring(system) + L"\\drivers\\winefill.sys";
    const std::wstring bus = std::wstring(system) + L"\\drivers\\msdscbus.sys";
    const std::wstring sample = std::wstring(system) + L"\\drivers\\msdscsample.sys";

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    Check(manager != nullptr, "open the service manager", Format("error %lu", GetLastError()));
    if (!manager)
        return Finish();
    SC_HANDLE fillService = CreateServiceW(manager, FILL_SERVICE, FILL_SERVICE, SERVICE_ALL_ACCESS,
                                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           fill.c_str(), SHARED_GROUP, nullptr, nullptr, nullptr, nullptr);
    Check(fillService != nullptr, "create the winefill service", Format("error %lu", GetLastError()));
    SC_HANDLE busService = CreateServiceW(manager, BUS_SERVICE, BUS_SERVICE, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, bus.c_str(), SHARED_GROUP,
                                          nullptr, nullptr, nullptr, nullptr);
    Check(busService != nullptr, "create the msdscbus service in the same group", Format("error %lu", GetLastError()));
    SC_HANDLE sampleService = CreateServiceW(manager, SAMPLE_SERVICE, SAMPLE_SERVICE, SERVICE_ALL_ACCESS,
                                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             sample.c_str(), SHARED_GROUP, nullptr, nullptr, nullptr, nullptr);
    Check(sampleService != nullptr, "create the msdscsample service in the same group",
          Format("error %lu", GetLastError()));
    if (sampleService)
        CloseServiceHandle(sampleService);
    if (fillService) {
        SERVICE_STATUS status{};
        const bool started = StartServiceW(fillService, 0, nullptr) != FALSE;
        const DWORD error = started ? 0 : GetLastError();
        const bool running = started && WaitForState(fillService, SERVICE_RUNNING, 15000, &status);
        Check(running, "start winefill.sys", Format("error %lu, state %lu", error, status.dwCurrentState));
        CloseServiceHandle(fillService);
    }
    if (busService)
        CloseServiceHandle(busService);
    CloseServiceHandle(manager);
    return Finish();
}

// Registers the reader device nodes MICROSDSMARTCARDBUS\MICROSDSMARTCARDREADER\0 ... count-1 and
// installs the sample reader driver of the INF on them. Wine installs a driver for a newly enumerated child
// only if the child answers the compatible-IDs query; a device node that already has its driver is
// started as soon as the bus reports it.
int PrepareReaders(const std::wstring& infPath, unsigned count)
{
    wchar_t fullPath[MAX_PATH];
    GetFullPathNameW(infPath.c_str(), MAX_PATH, fullPath, nullptr);
    GUID classGuid{};
    wchar_t className[64];
    const bool classRead = SetupDiGetINFClassW(fullPath, &classGuid, className, 64, nullptr) != FALSE;
    Check(classRead, "read the class of the sample's INF", Format("error %lu", GetLastError()));
    if (!classRead)
        return Finish();

    DeviceInfoSet set(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    std::vector<wchar_t> ids(READER_HARDWARE_ID, READER_HARDWARE_ID + wcslen(READER_HARDWARE_ID));
    ids.push_back(L'\0');
    ids.push_back(L'\0');
    for (unsigned instance = 0; instance < count; ++instance) {
        const std::wstring id = READER_INSTANCE_PREFIX + std::to_wstring(instance);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        const bool registered =
            SetupDiCreateDeviceInfoW(set.Get(), id.c_str(), &classGuid, nullptr, nullptr, 0, &device) &&
            SetupDiSetDeviceRegistryPropertyW(set.Get(), &device, SPDRP_HARDWAREID,
                                              reinterpret_cast<const BYTE*>(ids.data()),
                                              static_cast<DWORD>(ids.size() * sizeof(wchar_t))) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.Get(), &device);
        Check(registered, Format("register reader device node %u", instance).c_str(),
              Format("error %lu", GetLastError()));
    }
    BOOL reboot = FALSE;
    const bool installed =
        UpdateDriverForPlugAndPlayDevicesW(nullptr, READER_HARDWARE_ID, fullPath, INSTALLFLAG_FORCE, &reboot) != FALSE;
    Check(installed, "install the sample reader driver on the reader device nodes",
          Format("error %lu", GetLastError()));

    // What the bus's readers will be judged by must not be there yet.
    for (unsigned instance = 0; instance < count; ++instance) {
        const std::wstring id = READER_INSTANCE_PREFIX + std::to_wstring(instance);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        bool hasDriver = false;
        if (SetupDiOpenDeviceInfoW(set.Get(), id.c_str(), nullptr, 0, &device)) {
            HKEY key = SetupDiOpenDevRegKey(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
            if (key != INVALID_HANDLE_VALUE) {
                hasDriver = RegQueryValueExW(key, L"InfPath", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
                RegCloseKey(key);
            }
        }
        const Values values = ReadValues(instance);
        Check(hasDriver && !AnyValue(values), Format("reader %u has its driver and no values yet", instance).c_str(),
              Format("InfPath %s, %s", hasDriver ? "set" : "missing", Show(values).c_str()));
    }
    return Finish();
}

// --- the scenario on one handle -----------------------------------------------------------------

bool AddReader(HANDLE device, const ReaderConfig& config, BusReaderHandle* handle, unsigned instance, const char* what)
{
    unsigned char buffer[16] = {};
    std::memcpy(buffer, &config, sizeof(config));
    const Reply reply = Control(device, IOCTL_BUS_ADD_READER, buffer, sizeof(config), buffer, sizeof(buffer));
    std::memcpy(handle, buffer, sizeof(*handle));
    // The reader half's lower 32 bits are the reader's number, the instance ID Wine builds the device
    // node from; above them is the generation, which only tells readers of one number apart.
    const bool ok = reply.ok && reply.returned == sizeof(BusReaderHandle) && handle->BusHandle != 0 &&
                    MsdscReaderHandleNumber(handle->ReaderHandle) == instance;
    Check(ok, what,
          Describe(reply) +
              Format(", bus %s reader %s", Pointer(handle->BusHandle).c_str(), Pointer(handle->ReaderHandle).c_str()));
    return ok;
}

void ExpectValues(unsigned instance, const ReaderConfig& config)
{
    const Values values = WaitForValues(instance, config, 15000);
    Check(Matches(values, config),
          Format("reader %u started and wrote Number 0x%lX, Drive 0x%lX, Log 0x%lX, Exists 1", instance, config.Number,
                 config.Drive, config.Log)
              .c_str(),
          Show(values));
    ExpectSampleValues(instance, config);
}

int Scenario()
{
    // Wine creates the handle before the driver has answered IRP_MJ_CREATE, so the open itself
    // proves only that the control device's name exists.
    HANDLE device = CreateFileW(CONTROL_DEVICE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(device != INVALID_HANDLE_VALUE, "open the control device", Format("error %lu", GetLastError()));
    if (device == INVALID_HANDLE_VALUE)
        return Finish();

    // The version: exactly the eight bytes, also into a longer buffer.
    unsigned char version[16];
    std::memset(version, 0xCC, sizeof(version));
    const unsigned char expected[8] = {0x86, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00};
    Reply reply = Control(device, IOCTL_BUS_GET_VERSION, nullptr, 0, version, 8);
    Check(reply.ok && reply.returned == 8 && std::memcmp(version, expected, 8) == 0,
          "version bytes 86 00 00 00 02 00 01 00",
          Describe(reply) + Format(": %02X %02X %02X %02X %02X %02X %02X %02X", version[0], version[1], version[2],
                                   version[3], version[4], version[5], version[6], version[7]));
    std::memset(version, 0xCC, sizeof(version));
    reply = Control(device, IOCTL_BUS_GET_VERSION, nullptr, 0, version, sizeof(version));
    Check(reply.ok && reply.returned == 8 && std::memcmp(version, expected, 8) == 0,
          "version into a 16-byte buffer gives the same 8 bytes", Describe(reply));

    // Requests the driver refuses, with the Win32 errors of their statuses.
    reply = Control(device, IOCTL_BUS_GET_VERSION, nullptr, 0, version, 7);
    ExpectFailure(reply, ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, "version into 7 bytes is refused");
    reply = Control(device, IOCTL_UNASSIGNED, nullptr, 0, version, 8);
    ExpectFailure(reply, ERROR_INVALID_FUNCTION, STATUS_INVALID_DEVICE_REQUEST, "control code 0x222004 is refused");
    unsigned char buffer[32] = {};
    reply = Control(device, IOCTL_BUS_ADD_READER, buffer, 11, buffer, 16);
    ExpectFailure(reply, ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
                  "add with an 11-byte configuration is refused");
    reply = Control(device, IOCTL_BUS_ADD_READER, buffer, 12, buffer, 15);
    ExpectFailure(reply, ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
                  "add with a 15-byte reply buffer is refused");
    reply = Control(device, IOCTL_BUS_ADD_READER, nullptr, 0, nullptr, 0);
    ExpectFailure(reply, ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, "add with no buffers is refused");
    reply = Control(device, IOCTL_BUS_REMOVE_READER, buffer, 15, nullptr, 0);
    ExpectFailure(reply, ERROR_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, "remove with a 15-byte handle is refused");
    Check(!AnyValue(ReadValues(0)), "no reader appeared from the refused requests", Show(ReadValues(0)));

    // Four readers with distinct configurations: instances 0 to 3, each started with its values.
    const ReaderConfig configs[4] = {{0x1001, 1, 0}, {0x2002, 2, 1}, {0x3003, 3, 0xFFFFFFFF}, {0x4004, 4, 2}};
    BusReaderHandle handles[4] = {};
    bool added = true;
    // Four readers before any removal: numbers are reused once Plug and Play has removed a reader,
    // which Wine does in its own time, so a reader added after the removal could take 1 or 3.
    for (unsigned i = 0; i < 4; ++i)
        added &= AddReader(device, configs[i], &handles[i], i, Format("add reader %u, handle %u", i, i).c_str());
    if (!added) {
        CloseHandle(device);
        return Finish();
    }
    Check(handles[0].BusHandle == handles[1].BusHandle && handles[1].BusHandle == handles[2].BusHandle,
          "one bus: every handle names the same bus");
    Check(handles[0].ReaderHandle != handles[1].ReaderHandle && handles[1].ReaderHandle != handles[2].ReaderHandle &&
              handles[0].ReaderHandle != handles[2].ReaderHandle,
          "each reader has its own handle");
    for (unsigned i = 0; i < 4; ++i)
        ExpectValues(i, configs[i]);
    // The handles are all the client learns: the bus's handle is no device object's address, which
    // the script checks against Wine's trace.
    std::printf("bus %s\n", Pointer(handles[0].BusHandle).c_str());

    // Remove the middle one; the same handle a second time finds nothing, and so does a bus handle
    // that names no bus.
    reply = Control(device, IOCTL_BUS_REMOVE_READER, &handles[1], sizeof(handles[1]), nullptr, 0);
    Check(reply.ok && reply.returned == 0, "remove reader 1", Describe(reply));
    reply = Control(device, IOCTL_BUS_REMOVE_READER, &handles[1], sizeof(handles[1]), nullptr, 0);
    ExpectFailure(reply, ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL, "removing reader 1 a second time fails");
    BusReaderHandle stranger = handles[0];
    stranger.BusHandle ^= 0x10;
    reply = Control(device, IOCTL_BUS_REMOVE_READER, &stranger, sizeof(stranger), nullptr, 0);
    ExpectFailure(reply, ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL, "a handle naming no bus is refused");
    BusReaderHandle forged = handles[0];
    forged.ReaderHandle = MsdscMakeReaderHandle(MsdscReaderHandleGeneration(forged.ReaderHandle) + 1,
                                                MsdscReaderHandleNumber(forged.ReaderHandle));
    reply = Control(device, IOCTL_BUS_REMOVE_READER, &forged, sizeof(forged), nullptr, 0);
    ExpectFailure(reply, ERROR_GEN_FAILURE, STATUS_UNSUCCESSFUL, "a reader half of another generation is refused");

    // Wine sends IRP_MJ_CLOSE alone when the handle closes; the driver ends the session there too,
    // so readers 0, 2 and 3 go (the script follows their removal in the trace), and the next open
    // is a session of its own: its add succeeds, which the old session's handle could no longer do.
    CloseHandle(device);
    std::printf("closed\n");
    HANDLE next = CreateFileW(CONTROL_DEVICE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(next != INVALID_HANDLE_VALUE, "open the control device again", Format("error %lu", GetLastError()));
    if (next == INVALID_HANDLE_VALUE)
        return Finish();
    const ReaderConfig fifth = {0x5005, 5, 3};
    BusReaderHandle handle{};
    unsigned char fifthBuffer[16] = {};
    std::memcpy(fifthBuffer, &fifth, sizeof(fifth));
    reply = Control(next, IOCTL_BUS_ADD_READER, fifthBuffer, sizeof(fifth), fifthBuffer, sizeof(fifthBuffer));
    std::memcpy(&handle, fifthBuffer, sizeof(handle));
    // The lowest number no reader holds: 0 once Wine has removed the first session's readers, which
    // it does in its own time, a higher one before.
    const unsigned number = MsdscReaderHandleNumber(handle.ReaderHandle);
    const bool addedAgain = reply.ok && reply.returned == sizeof(BusReaderHandle) && number <= 4;
    Check(addedAgain, "a new session after the close adds a reader",
          Describe(reply) + Format(", reader %s", Pointer(handle.ReaderHandle).c_str()));
    if (addedAgain)
        ExpectValues(number, fifth);
    CloseHandle(next);
    std::printf("closed again\n");
    return Finish();
}

// Removes every device node with the bus hardware ID by DIF_REMOVE with the class installer's default
// parameters (a global removal). Wine 8.0's SetupDiSetClassInstallParamsW is a stub that fails, so
// a removal that sets its parameters first, as msdscctl's does, cannot run there.
int UninstallBus()
{
    DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    Check(set.Valid(), "list the device nodes", Format("error %lu", GetLastError()));
    if (!set.Valid())
        return Finish();
    unsigned removed = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i) {
        if (!HasHardwareId(set.Get(), &device, BUS_HARDWARE_ID))
            continue;
        const bool ok = SetupDiCallClassInstaller(DIF_REMOVE, set.Get(), &device) != FALSE;
        Check(ok, "remove the bus device node with DIF_REMOVE", Format("error 0x%lX", GetLastError()));
        removed += ok ? 1 : 0;
    }
    Check(removed == 1, "exactly one bus device node was there", Format("%u removed", removed));
    return Finish();
}

int StopService(const wchar_t* name)
{
    const std::string utf8 = Utf8(name);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_ALL_ACCESS) : nullptr;
    Check(service != nullptr, Format("open the %s service", utf8.c_str()).c_str(), Format("error %lu", GetLastError()));
    if (service) {
        SERVICE_STATUS status{};
        const bool sent = ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
        const DWORD error = sent ? 0 : GetLastError();
        const bool stopped = sent && WaitForState(service, SERVICE_STOPPED, 15000, &status);
        Check(stopped, Format("stop the %s service", utf8.c_str()).c_str(),
              Format("error %lu, state %lu", error, status.dwCurrentState));
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return Finish();
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"services" && argc == 2)
        return PrepareServices();
    if (command == L"readers" && argc == 4)
        return PrepareReaders(argv[2], static_cast<unsigned>(_wtoi(argv[3])));
    if (command == L"scenario" && argc == 2)
        return Scenario();
    if (command == L"uninstall" && argc == 2)
        return UninstallBus();
    if (command == L"stop" && argc == 3)
        return StopService(argv[2]);
    std::fputs("usage: msdscwine services | readers SAMPLE-INF COUNT | scenario | uninstall | stop SERVICE\n", stderr);
    return 2;
}
