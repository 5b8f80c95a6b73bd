// The battery's platform on Windows: the configuration manager's disable, enable, query-and-remove
// and setup of a reader's device node, SetupAPI's DIF_REMOVE and a re-scan, the node's hardware key,
// and the function driver's interface opened for overlapped I/O. Windows-only: none of these calls
// runs in the host build's tests; under Wine, which stubs them, the scenarios that need them are
// skipped with the reason, and a start is judged by the function driver's interface.
#include "platform.h"

#include "guid_text.h"
#include "msdscclient_platform.h"
#include "msdscnames.h"
#include "windows_helpers.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <vector>

namespace msdsc::battery {

namespace {

constexpr MsdscStatus NO_SUCH_DEVICE = static_cast<MsdscStatus>(0xC000000Eu);
constexpr MsdscStatus NOT_FOUND = static_cast<MsdscStatus>(0xC0000225u);
constexpr MsdscStatus UNSUCCESSFUL = static_cast<MsdscStatus>(0xC0000001u);

const wchar_t READER_ENUMERATOR[] = MSDSC_WIDE(MSDSC_READER_ENUMERATOR);
const wchar_t READER_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_READER_HARDWARE_ID);
const char WINE_CANNOT[] = "Wine 8.0 stubs the configuration manager's disable, enable, query-and-remove and "
                           "DIF_REMOVE: Windows only";

// PNP_VETO_TYPE's names, as cfg.h lists them.
const char* VetoTypeName(PNP_VETO_TYPE type)
{
    static const char* const NAMES[] = {"TypeUnknown",          "LegacyDevice",      "PendingClose",   "WindowsApp",
                                        "WindowsService",       "OutstandingOpen",   "Device",         "Driver",
                                        "IllegalDeviceRequest", "InsufficientPower", "NonDisableable", "LegacyDriver",
                                        "InsufficientRights",   "AlreadyRemoved"};
    return static_cast<size_t>(type) < sizeof(NAMES) / sizeof(NAMES[0]) ? NAMES[type] : "TypeUnknown";
}

MsdscStatus FromConfigRet(CONFIGRET result)
{
    return result == CR_SUCCESS ? 0 : result == CR_NO_SUCH_DEVINST ? NO_SUCH_DEVICE : UNSUCCESSFUL;
}

bool IsWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

class WindowsHandle : public InterfaceHandle
{
public:
    HANDLE file = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    unsigned char reply[64] = {};
};

class WindowsPlatform : public Platform
{
public:
    explicit WindowsPlatform(const GUID& interfaceClass) : m_Class(interfaceClass), m_Wine(IsWine()) {}

    const char* Name() const override { return m_Wine ? "Wine" : "Windows"; }
    const char* CannotDo(Action action) const override
    {
        return m_Wine && action != Action::InterfaceHandle ? WINE_CANNOT : nullptr;
    }
    bool JudgesStartByInterface() const override { return m_Wine; }

    NodeLook Look(uint32_t reader) override
    {
        NodeLook look;
        std::wstring instance;
        DEVINST node = 0;
        if (!Find(reader, &instance, &node))
            return look;
        look.instancePath = Utf8(instance.c_str());
        if (m_Wine) {
            // Wine's CM_Get_DevNode_Status says every node is present and none started: a reader is
            // there while its function driver's interface opens.
            look.present = look.started = InterfaceEnabled(reader);
            return look;
        }
        ULONG status = 0, problem = 0;
        look.present = CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS;
        // A node reported missing with a handle still open stays in the tree, to be removed.
        look.lingering = look.present && (status & DN_WILL_BE_REMOVED) != 0;
        look.present = look.present && !look.lingering;
        look.started = look.present && (status & DN_STARTED) != 0;
        look.problem = look.present && (status & DN_HAS_PROBLEM) ? problem : 0;
        return look;
    }

    uint32_t RecordedNodes() override
    {
        uint32_t count = 0;
        DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, READER_ENUMERATOR, nullptr, DIGCF_ALLCLASSES));
        if (!set.Valid())
            return 0;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i)
            count += HasHardwareId(set.Get(), &device, READER_HARDWARE_ID) ? 1 : 0;
        return count;
    }

    void ReadHardwareValues(uint32_t reader, std::optional<uint32_t> values[4]) override
    {
        static const wchar_t* const NAMES[4] = {MSDSC_WIDE(MSDSC_VALUE_NUMBER), MSDSC_WIDE(MSDSC_VALUE_DRIVE),
                                                MSDSC_WIDE(MSDSC_VALUE_LOG), MSDSC_WIDE(MSDSC_VALUE_EXISTS)};
        std::wstring instance;
        DEVINST node = 0;
        if (!Find(reader, &instance, &node))
            return;
        // SetupAPI's way to the hardware key ("Device Parameters"), which Wine implements too.
        DeviceInfoSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!set.Valid() || !SetupDiOpenDeviceInfoW(set.Get(), instance.c_str(), nullptr, 0, &device))
            return;
        const HKEY key = SetupDiOpenDevRegKey(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            return;
        for (int i = 0; i < 4; ++i) {
            DWORD type = 0, value = 0, size = sizeof(value);
            if (RegQueryValueExW(key, NAMES[i], nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                    ERROR_SUCCESS &&
                type == REG_DWORD && size == sizeof(value))
                values[i] = value;
        }
        RegCloseKey(key);
    }

    // CM_Disable_DevNode queries the removal itself; a veto comes back as CR_REMOVE_VETOED without
    // its type or name, which only CM_Query_And_Remove_SubTree reports (scenario 5).
    MsdscStatus Disable(uint32_t reader, Veto* veto) override
    {
        DEVINST node = 0;
        if (!Find(reader, nullptr, &node))
            return NO_SUCH_DEVICE;
        const CONFIGRET result = CM_Disable_DevNode(node, CM_DISABLE_UI_NOT_OK);
        if (result == CR_REMOVE_VETOED)
            veto->type = "(vetoed; CM_Disable_DevNode does not say by whom)";
        return FromConfigRet(result);
    }
    MsdscStatus Enable(uint32_t reader) override
    {
        DEVINST node = 0;
        return Find(reader, nullptr, &node) ? FromConfigRet(CM_Enable_DevNode(node, 0)) : NO_SUCH_DEVICE;
    }
    // "Restart device": the node's stack removed with its query, then set up again.
    MsdscStatus Restart(uint32_t reader, Veto* veto) override
    {
        const MsdscStatus removed = QueryRemove(reader, veto);
        return removed < 0 ? removed : Reinstate(reader);
    }
    MsdscStatus QueryRemove(uint32_t reader, Veto* veto) override
    {
        DEVINST node = 0;
        if (!Find(reader, nullptr, &node))
            return NO_SUCH_DEVICE;
        PNP_VETO_TYPE type = PNP_VetoTypeUnknown;
        wchar_t name[MAX_PATH] = {};
        const CONFIGRET result = CM_Query_And_Remove_SubTreeW(node, &type, name, MAX_PATH, CM_REMOVE_NO_RESTART);
        return result == CR_SUCCESS ? 0 : Vetoed(result, type, name, veto);
    }
    MsdscStatus Reinstate(uint32_t reader) override
    {
        DEVINST node = 0;
        return Find(reader, nullptr, &node) ? FromConfigRet(CM_Setup_DevNode(node, CM_SETUP_DEVNODE_READY))
                                            : NO_SUCH_DEVICE;
    }
    // DIF_REMOVE deletes the node; the bus still reports the reader, so the re-scan of the bus
    // makes a new node for it.
    MsdscStatus DifRemoveAndRescan(uint32_t reader) override
    {
        std::wstring instance;
        DEVINST node = 0, parent = 0;
        if (!Find(reader, &instance, &node) || CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
            return NO_SUCH_DEVICE;
        DeviceInfoSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!set.Valid() || !SetupDiOpenDeviceInfoW(set.Get(), instance.c_str(), nullptr, 0, &device) ||
            !SetupDiCallClassInstaller(DIF_REMOVE, set.Get(), &device))
            return UNSUCCESSFUL;
        return FromConfigRet(CM_Reenumerate_DevNode(parent, CM_REENUMERATE_SYNCHRONOUS));
    }

    // Wine lists the interfaces of readers that are gone too (it ignores DIGCF_PRESENT): there an
    // interface is on while its link opens.
    bool InterfaceEnabled(uint32_t reader) override
    {
        const std::wstring path = InterfacePath(reader);
        if (path.empty() || !m_Wine)
            return !path.empty();
        const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        return true;
    }

    MsdscStatus OpenInterface(uint32_t reader, std::unique_ptr<InterfaceHandle>* handle) override
    {
        const std::wstring path = InterfacePath(reader);
        if (path.empty())
            return NOT_FOUND;
        auto opened = std::make_unique<WindowsHandle>();
        opened->file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (opened->file == INVALID_HANDLE_VALUE)
            return RtlGetLastNtStatus();
        opened->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        *handle = std::move(opened);
        return 0;
    }

    ProbeResult Probe(InterfaceHandle& base, uint32_t code, uint32_t timeoutMs) override
    {
        auto& handle = static_cast<WindowsHandle&>(base);
        ProbeResult result;
        DWORD returned = 0;
        if (DeviceIoControl(handle.file, code, nullptr, 0, handle.reply, sizeof(handle.reply), &returned,
                            &handle.overlapped)) {
            result.completed = true;
            return result;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            result.completed = true;
            result.status = RtlGetLastNtStatus();
            return result;
        }
        if (WaitForSingleObject(handle.overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0)
            return result; // still pending: the close cancels it
        result.completed = true;
        if (!GetOverlappedResult(handle.file, &handle.overlapped, &returned, FALSE))
            result.status = RtlGetLastNtStatus();
        return result;
    }

    void Close(std::unique_ptr<InterfaceHandle> base) override
    {
        auto* handle = static_cast<WindowsHandle*>(base.get());
        // The probe was sent from this thread, so CancelIo reaches it (CancelIoEx is Vista on).
        CancelIo(handle->file);
        CloseHandle(handle->file);
        if (handle->overlapped.hEvent)
            CloseHandle(handle->overlapped.hEvent);
    }

    // The system's pool-tag counters are for the battery's second half.
    std::optional<Pool> FunctionDriverPool() override { return std::nullopt; }
    std::vector<std::string> TakeViolations() override { return {}; }

private:
    // The reader's present node, found by hardware ID and reader number as the device view finds it.
    bool Find(uint32_t reader, std::wstring* instance, DEVINST* node)
    {
        DeviceInfoSet set(SetupDiGetClassDevsW(nullptr, READER_ENUMERATOR, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
        if (!set.Valid())
            return false;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i) {
            wchar_t id[MAX_DEVICE_ID_LEN];
            uint32_t number = 0;
            if (!HasHardwareId(set.Get(), &device, READER_HARDWARE_ID) ||
                !SetupDiGetDeviceInstanceIdW(set.Get(), &device, id, MAX_DEVICE_ID_LEN, nullptr) ||
                !NumberOf(id, &number) || number != reader)
                continue;
            if (instance)
                *instance = id;
            *node = device.DevInst;
            return true;
        }
        return false;
    }

    static bool NumberOf(const wchar_t* instance, uint32_t* number)
    {
        const wchar_t* last = instance;
        for (const wchar_t* c = instance; *c; ++c)
            if (*c == L'\\' || *c == L'&')
                last = c + 1;
        if (!*last)
            return false;
        uint64_t value = 0;
        for (const wchar_t* c = last; *c; ++c) {
            if (*c < L'0' || *c > L'9' || value > 0xFFFFFFFFull)
                return false;
            value = value * 10 + static_cast<unsigned>(*c - L'0');
        }
        *number = static_cast<uint32_t>(value);
        return true;
    }

    std::wstring InterfacePath(uint32_t reader)
    {
        std::wstring found;
        DeviceInfoSet set(SetupDiGetClassDevsW(&m_Class, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT));
        if (!set.Valid())
            return found;
        ForEachInterface(set.Get(), m_Class, [&](const wchar_t* path, const wchar_t* instance) {
            uint32_t number = 0;
            if (!NumberOf(instance, &number) || number != reader)
                return false;
            found = path;
            return !m_Wine;
        });
        return found;
    }

    static MsdscStatus Vetoed(CONFIGRET result, PNP_VETO_TYPE type, const wchar_t* name, Veto* veto)
    {
        veto->type = VetoTypeName(type);
        veto->name = Utf8(name);
        return result == CR_REMOVE_VETOED ? UNSUCCESSFUL : FromConfigRet(result);
    }

    GUID m_Class;
    bool m_Wine;
};

} // namespace

std::unique_ptr<Platform> MakePlatform(const char* interfaceClass, std::string* error)
{
    GUID guid{};
    if (!ParseGuid(interfaceClass ? interfaceClass : MSDSC_SAMPLE_INTERFACE_GUID_TEXT, &guid)) {
        *error = std::string("not an interface class GUID: '") + interfaceClass + "' (\"{xxxxxxxx-xxxx-...}\")";
        return nullptr;
    }
    return std::make_unique<WindowsPlatform>(guid);
}

} // namespace msdsc::battery
