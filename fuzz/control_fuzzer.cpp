// libFuzzer target over the control device: each input is a sequence of opens (the whole create
// request), closes and control requests with arbitrary codes, lengths and bytes, interleaved with
// buses arriving and leaving, Plug and Play settling, pool shortages, bursts of adds up to the cap on
// readers and back, and two requests racing on two threads at a lock boundary the input names.
// Every input ends with the last bus gone, the driver left with only its control device and its
// unload routine run by hand; a verifier violation, a stop or a broken expectation is a finding.
//
// The driver's objects are linked into this program rather than loaded as an image: libFuzzer's
// coverage counters of a dlopen'd image are unmapped when the loader closes it after the unload,
// and the program would read freed memory on the next input. Linked in, the globals the unload
// routine restores are checked here after every input; the two counters a fresh image starts at
// zero are set back by hand, so an input replays the same way alone or inside a run.
#include <ntddk.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_session.h"
#include "msdscbus.h"
#include "msdscnames.h"
#include "bus/bus_device.h"
#include "control/control_device.h"
#include "control/control_requests.h"
#include "driver/driver_globals.h"
#include "entry/driver_entry.h"
#include "reader/reader_device.h"
#include "registry/device_list.h"
#include "simkernel/faults.h"
#include "simkernel/hooks.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/user.h"
#include "simkernel/verifier.h"

namespace msdsc_fuzz {

[[noreturn]] void Finding(const char* what, long detail)
{
    std::fprintf(stderr, "FINDING: %s (0x%lx)\n", what, detail);
    std::abort();
}

void Expect(bool condition, const char* what, long detail)
{
    if (!condition) {
        Finding(what, detail);
    }
}

ULONG64 BusHandleOf(simk::pnp::DeviceNode* node)
{
    PDEVICE_OBJECT fdo = simk::pnp::Pdo(node)->AttachedDevice;
    return static_cast<BusDevice*>(fdo->DeviceExtension)->m_Handle;
}

// Reader numbers the driver holds now: one per reader device object, as a debugger counts them
// (the control device and the buses' devices sit on no bus of their own).
size_t ReaderObjects(const Session& session)
{
    size_t count = 0;
    for (PDEVICE_OBJECT device : simk::DevicesOfDriver(session.driver)) {
        if (device->DeviceType == FILE_DEVICE_BUS_EXTENDER && device->DeviceObjectExtension->AttachedTo == nullptr) {
            ++count;
        }
    }
    return count;
}

void ForgetLive(Session& session, const BusReaderHandle& handle)
{
    for (auto it = session.live.begin(); it != session.live.end(); ++it) {
        if (it->BusHandle == handle.BusHandle && it->ReaderHandle == handle.ReaderHandle) {
            session.live.erase(it);
            return;
        }
    }
    Finding("a remove succeeded for no reader of the session");
}

// A new reader's number is held by no other reader the session still has.
void AdoptReader(Session& session, const BusReaderHandle& reply)
{
    for (const BusReaderHandle& other : session.live) {
        Expect(static_cast<ULONG>(other.ReaderHandle) != static_cast<ULONG>(reply.ReaderHandle),
               "a reader number given to two readers at once",
               static_cast<long>(static_cast<ULONG>(reply.ReaderHandle)));
    }
    session.readers.push_back(reply);
    session.live.push_back(reply);
}

// A bus that went: its readers went with it.
void ForgetBus(Session& session, simk::pnp::DeviceNode* node)
{
    for (size_t i = 0; i < session.buses.size(); ++i) {
        if (session.buses[i] != node) {
            continue;
        }
        const ULONG64 busHandle = session.busHandles[i];
        session.buses.erase(session.buses.begin() + static_cast<long>(i));
        session.busHandles.erase(session.busHandles.begin() + static_cast<long>(i));
        for (auto reader = session.live.begin(); reader != session.live.end();) {
            reader = reader->BusHandle == busHandle ? session.live.erase(reader) : reader + 1;
        }
        return;
    }
}

bool IsKnownBus(const Session& session, ULONG64 busHandle)
{
    for (ULONG64 known : session.busHandles) {
        if (known == busHandle) {
            return true;
        }
    }
    return false;
}

void Disarm(Session& session)
{
    if (session.faultArmed) {
        simk::faults::DisarmAll();
        session.faultArmed = false;
        session.failDeviceCreation = 0;
    }
}

} // namespace msdsc_fuzz

namespace {

using namespace msdsc_fuzz;

constexpr char16_t BUS_HARDWARE_ID[] = u"ROOT\\MicroSDSmartCardBus";
constexpr size_t MAX_OPERATIONS = 96;
constexpr size_t MAX_BUSES = 4;
// A burst of adds goes past the cap on readers, so its refusal and the numbers' reuse are reached.
constexpr size_t MAX_BURST = MAX_READERS + 16;

// No reply hands a kernel address to user mode: no eight bytes of it, at any offset, are the
// address of one of the driver's device objects or their extensions.
void ExpectNoDeviceAddress(const Session& session, const uint8_t* out, size_t length)
{
    for (PDEVICE_OBJECT device : simk::DevicesOfDriver(session.driver)) {
        for (ULONG64 address :
             {reinterpret_cast<ULONG64>(device), reinterpret_cast<ULONG64>(device->DeviceExtension)}) {
            for (size_t offset = 0; offset + sizeof(address) <= length; ++offset) {
                Expect(std::memcmp(out + offset, &address, sizeof(address)) != 0, "a reply holds a device address",
                       static_cast<long>(offset));
            }
        }
    }
}

// The desired access of an open: the client's, the ones a session can come from, the ones the
// access check or the driver must refuse, or anything at all.
ACCESS_MASK PickDesiredAccess(InputReader& input)
{
    static const ACCESS_MASK known[] = {
        GENERIC_READ | GENERIC_WRITE,
        MAXIMUM_ALLOWED,
        FILE_ALL_ACCESS,
        FILE_READ_DATA | FILE_WRITE_DATA,
        0,
        GENERIC_READ,
        GENERIC_WRITE,
        SYNCHRONIZE | FILE_READ_ATTRIBUTES,
        ACCESS_SYSTEM_SECURITY | GENERIC_ALL,
    };
    const uint8_t pick = input.Byte();
    if (pick < 2 * std::size(known)) {
        return known[pick % std::size(known)];
    }
    ACCESS_MASK any = 0;
    for (int i = 0; i < 4; ++i) {
        any = (any << 8) | input.Byte();
    }
    return any;
}

// The masks an administrator's open always passes the access check with, read and write granted.
bool GrantsReadWrite(ACCESS_MASK desired)
{
    return desired == (GENERIC_READ | GENERIC_WRITE) || desired == MAXIMUM_ALLOWED || desired == FILE_ALL_ACCESS ||
           desired == (FILE_READ_DATA | FILE_WRITE_DATA);
}

// The whole create request, as an application or another driver can send it: most of the time the
// client's own, otherwise with some of its fields bent, so every refusal stays reachable.
struct CreatePick {
    simk::user::OpenRequest request;
    bool nameBelow = false; // a name after the device's: "\\.\MicroSDSmartCardControl\x"
    bool relative = false;  // relative to the session's handle
    uint8_t ea[16] = {};
};

void PickCreate(InputReader& input, const Session& session, CreatePick* pick)
{
    simk::user::OpenRequest& request = pick->request;
    request.desiredAccess = PickDesiredAccess(input);
    const uint8_t bent = input.Byte();
    if (bent < 0xA0) {
        return; // the client's open
    }
    static const ULONG options[4] = {FILE_OPEN_FOR_BACKUP_INTENT, FILE_DIRECTORY_FILE, FILE_DELETE_ON_CLOSE,
                                     FILE_WRITE_THROUGH};
    if (bent & 0x01) {
        // The six dispositions and one past them, which the I/O manager refuses itself.
        request.disposition = input.Byte() % (FILE_MAXIMUM_DISPOSITION + 2);
    }
    if (bent & 0x02) {
        const uint8_t which = input.Byte();
        request.createOptions |=
            which < 4 * std::size(options) ? options[which % std::size(options)] : (input.U32() & 0x00FFFFFF);
    }
    if (bent & 0x04) {
        request.eaLength = 1 + input.Byte() % sizeof(pick->ea);
        input.Bytes(pick->ea, request.eaLength);
        request.eaBuffer = pick->ea;
    }
    if (bent & 0x08) {
        pick->nameBelow = true;
    }
    if ((bent & 0x10) && session.handle != nullptr) {
        pick->relative = true;
        request.related = session.handle;
    }
    if (bent & 0x20) {
        request.shareAccess = input.Byte() & 7;
    }
    if (bent & 0x40) {
        request.asWine = true; // no security context, and no disposition in the options
    }
    if (input.Byte() & 1) {
        request.securityQos = 0x00100000 | ((input.Byte() & 3) << 16); // SECURITY_SQOS_PRESENT, a level
    }
}

// What the open must come back with, in the order the I/O manager and the driver decide it, when
// the access check passes with read and write granted.
NTSTATUS ExpectedOpen(const CreatePick& pick, const Session& session)
{
    const simk::user::OpenRequest& request = pick.request;
    if (request.disposition > FILE_MAXIMUM_DISPOSITION) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pick.nameBelow || pick.relative) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (request.eaLength != 0) {
        return STATUS_EAS_NOT_SUPPORTED;
    }
    if ((request.createOptions & FILE_OPEN_FOR_BACKUP_INTENT) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (!request.asWine && request.disposition != FILE_OPEN) {
        return STATUS_INVALID_PARAMETER;
    }
    if (session.handle != nullptr) {
        return STATUS_SHARING_VIOLATION;
    }
    return session.buses.empty() ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
}

NTSTATUS SendOpen(const CreatePick& pick, simk::user::Handle* handle)
{
    std::u16string path = CONTROL_PATH;
    if (pick.relative) {
        path.clear();
    } else if (pick.nameBelow) {
        path += u"\\x";
    }
    return simk::user::Open(path.c_str(), pick.request, handle);
}

void Open(Session& session, InputReader& input)
{
    CreatePick pick;
    PickCreate(input, session, &pick);
    simk::user::Handle handle = nullptr;
    const NTSTATUS status = SendOpen(pick, &handle);
    const NTSTATUS expected = ExpectedOpen(pick, session);
    // A mask that may not grant read and write can be refused by the access check before the
    // driver, or by the driver after its other checks; no other status is open to it.
    if (status == STATUS_ACCESS_DENIED && !GrantsReadWrite(pick.request.desiredAccess) &&
        pick.request.disposition <= FILE_MAXIMUM_DISPOSITION) {
        return;
    }
    Expect(status == expected, "open status", status);
    if (!NT_SUCCESS(status)) {
        return;
    }
    if (!pick.request.asWine) {
        const ACCESS_MASK granted = simk::user::GrantedAccess(handle);
        Expect((granted & (FILE_READ_DATA | FILE_WRITE_DATA)) == (FILE_READ_DATA | FILE_WRITE_DATA),
               "a session without read and write rights", static_cast<long>(granted));
    }
    session.handle = handle;
}

// Only the system and administrators may open the control device, and the I/O manager refuses
// anyone else before the driver hears of it.
void OpenAsPlainUser(Session& session)
{
    simk::user::ActingAs user(simk::user::Caller::User);
    simk::user::Handle handle = nullptr;
    const NTSTATUS status = simk::user::OpenDevice(CONTROL_PATH, &handle);
    Expect(status == STATUS_ACCESS_DENIED, "a plain user opened the control device", status);
}

// withoutCleanup: as Wine closes a handle, with IRP_MJ_CLOSE alone; the session ends the same way.
void Close(Session& session, bool withoutCleanup = false)
{
    if (session.handle == nullptr) {
        return;
    }
    const NTSTATUS status =
        withoutCleanup ? simk::user::CloseWithoutCleanup(session.handle) : simk::user::Close(session.handle);
    Expect(status == STATUS_SUCCESS, "close failed");
    session.handle = nullptr;
    session.readers.clear();
    session.live.clear(); // the session's end removes them all
}

// The first function number of the driver's kind that no control request holds.
ULONG UnassignedNeighbour()
{
    ULONG function = 0x800;
    while (FindControlRequest(MSDSC_CONTROL_CODE(function)) != nullptr) {
        ++function;
    }
    return MSDSC_CONTROL_CODE(function);
}

// A control code: one of the driver's, the unassigned neighbour, another buffered code of the same
// device type, or anything at all.
ULONG PickControlCode(InputReader& input)
{
    const uint8_t selector = input.Byte() % (CONTROL_REQUEST_COUNT + 3);
    if (selector < CONTROL_REQUEST_COUNT) {
        return CONTROL_REQUESTS[selector].Code;
    }
    switch (selector - CONTROL_REQUEST_COUNT) {
    case 0:
        return UnassignedNeighbour();
    case 1:
        return MSDSC_CONTROL_CODE(input.Byte() | 0x800u);
    default:
        return input.U32();
    }
}

// heldBefore: the reader numbers the driver held when the request was sent.
void JudgeReply(Session& session, ULONG code, ULONG inLength, ULONG outLength, NTSTATUS status, ULONG_PTR information,
                const uint8_t* in, const uint8_t* out, size_t heldBefore)
{
    const bool busReady = !session.buses.empty();
    const bool buffered =
        METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_UNKNOWN;
    const ControlRequest* row = FindControlRequest(code);
    if (row == nullptr) {
        if (buffered) {
            Expect(status == STATUS_INVALID_DEVICE_REQUEST, "unknown code accepted", status);
        }
        return;
    }
    // Every request's admission, as its row states it.
    if (row->NeedsBus && !busReady) {
        Expect(status == STATUS_INVALID_DEVICE_STATE, "a request that needs a bus ran without one", status);
        return;
    }
    if (inLength < row->InputSize || outLength < row->OutputSize) {
        Expect(status == STATUS_INVALID_PARAMETER, "a request with short buffers ran", status);
        return;
    }
    if (NT_SUCCESS(status)) {
        Expect(row->OutputSize == 0 || information == row->OutputSize, "reply size", static_cast<long>(information));
    }
    if (code == IOCTL_BUS_GET_VERSION) {
        static const uint8_t expected[8] = {0x86, 0, 0, 0, 2, 0, 1, 0};
        Expect(status == STATUS_SUCCESS, "version refused", status);
        Expect(std::memcmp(out, expected, sizeof(expected)) == 0, "version bytes");
        return;
    }
    if (code == IOCTL_BUS_ADD_READER) {
        if (NT_SUCCESS(status)) {
            Expect(status == STATUS_SUCCESS, "add reply status", status);
            BusReaderHandle reply;
            std::memcpy(&reply, out, sizeof(reply));
            Expect(IsKnownBus(session, reply.BusHandle), "add names an unknown bus");
            // The reader half: a generation above, the reader number below, inside the cap.
            Expect(MsdscReaderHandleGeneration(reply.ReaderHandle) != 0 &&
                       IsWithinReaderCap(MsdscReaderHandleNumber(reply.ReaderHandle)),
                   "add's reader half is no generation and reader number");
            Expect(session.racing || heldBefore < MAX_READERS, "an add past the cap", static_cast<long>(heldBefore));
            AdoptReader(session, reply);
        } else {
            // Every bus the session knows is started; only a shortage, or the cap on readers held
            // at once (removed readers Plug and Play still has count), makes an add fail.
            Expect(session.faultArmed ||
                       (status == STATUS_INSUFFICIENT_RESOURCES && (session.racing || heldBefore >= MAX_READERS)),
                   "add failed on a started bus", status);
        }
        return;
    }
    if (code == IOCTL_BUS_REMOVE_READER) {
        Expect(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL, "remove status", status);
        Expect(information == 0, "remove hands a reply back", static_cast<long>(information));
        if (status == STATUS_SUCCESS && !session.racing) {
            BusReaderHandle removed;
            std::memcpy(&removed, in, sizeof(removed));
            ForgetLive(session, removed);
        }
    }
}

// One request on the session's handle, judged.
void Request(Session& session, ULONG code, const uint8_t* in, ULONG inLength, ULONG outLength)
{
    uint8_t out[256];
    std::memset(out, 0xCD, sizeof(out));
    ULONG_PTR information = 0;
    const size_t held = ReaderObjects(session);
    const NTSTATUS status = simk::user::DeviceIoControl(session.handle, code, inLength ? in : nullptr, inLength,
                                                        outLength ? out : nullptr, outLength, &information);
    JudgeReply(session, code, inLength, outLength, status, information, in, out, held);
    ExpectNoDeviceAddress(session, out, outLength);
}

void Control(Session& session, InputReader& input)
{
    if (session.handle == nullptr) {
        return;
    }
    const ULONG code = PickControlCode(input);
    ULONG inLength = input.Byte();
    const ULONG outLength = input.Byte();
    uint8_t in[256] = {};
    const uint8_t source = input.Byte();
    if (source % 4 == 0 && !session.readers.empty()) {
        // A handle the driver gave out, possibly stale, possibly with one half bent.
        BusReaderHandle handle = session.readers[input.Byte() % session.readers.size()];
        if (source & 0x10) {
            handle.ReaderHandle ^= input.Byte();
        }
        if (source & 0x20) {
            handle.BusHandle ^= input.Byte();
        }
        std::memcpy(in, &handle, sizeof(handle));
        if (inLength < sizeof(handle) && (source & 0x40)) {
            inLength = sizeof(handle);
        }
    } else {
        input.Bytes(in, inLength);
    }
    Request(session, code, in, inLength, outLength);
}

// A burst of adds, as a rig that makes many readers at once: up to past the cap, where the refusal
// must come exactly when the driver holds MAX_READERS numbers.
void AddMany(Session& session, InputReader& input)
{
    if (session.handle == nullptr) {
        return;
    }
    // Mostly a handful; the cap now and then, as settling hundreds of readers costs seconds.
    const uint8_t size = input.Byte();
    const size_t count = size < 0xE0 ? 1 + size % 16 : MAX_BURST - (size & 0x0F);
    for (size_t i = 0; i < count; ++i) {
        const ReaderConfig config = {static_cast<ULONG>(i), 1, 0};
        Request(session, IOCTL_BUS_ADD_READER, reinterpret_cast<const uint8_t*>(&config), sizeof(config),
                sizeof(BusReaderHandle));
    }
}

// Removes every stride-th reader of the session, so the next burst reuses numbers from the middle.
void RemoveMany(Session& session, InputReader& input)
{
    if (session.handle == nullptr) {
        return;
    }
    const size_t stride = 1 + input.Byte() % 4;
    const std::vector<BusReaderHandle> live = session.live;
    for (size_t i = 0; i < live.size(); i += stride) {
        Request(session, IOCTL_BUS_REMOVE_READER, reinterpret_cast<const uint8_t*>(&live[i]), sizeof(live[i]), 0);
    }
}

void AddBus(Session& session)
{
    if (session.buses.size() >= MAX_BUSES) {
        return;
    }
    if (session.failDeviceCreation != 0) {
        // The manager's own physical device object comes first; a shortage is meant for the driver.
        simk::faults::FailNth(simk::Call::IoCreateDevice, session.failDeviceCreation + 1);
    }
    simk::pnp::DeviceNode* node = simk::pnp::CreateRootDevice(session.driver, BUS_HARDWARE_ID);
    if (simk::pnp::State(node) == simk::pnp::NodeState::Started) {
        session.buses.push_back(node);
        session.busHandles.push_back(BusHandleOf(node));
    } else {
        Expect(session.faultArmed, "a bus failed to start");
    }
}

void RemoveBus(Session& session, InputReader& input)
{
    if (session.buses.empty()) {
        return;
    }
    const uint8_t how = input.Byte();
    const size_t index = how % session.buses.size();
    simk::pnp::DeviceNode* node = session.buses[index];
    if (how & 0x80) {
        simk::pnp::SurpriseRemoveDevice(node);
    } else if (!NT_SUCCESS(simk::pnp::RemoveDevice(node))) {
        return; // vetoed: the bus still has readers
    }
    Expect(simk::pnp::State(node) == simk::pnp::NodeState::Removed, "bus removal left the node",
           static_cast<long>(simk::pnp::State(node)));
    ForgetBus(session, node);
}

// The next operation runs short of one kind of the driver's pool, or of device objects.
void ArmFault(Session& session, InputReader& input)
{
    static const ULONG tags[] = {simk::Tag("apsl"), simk::Tag("msbp"), simk::Tag("mdbp")};
    const uint8_t which = input.Byte();
    if (which % 4 == 3) {
        session.failDeviceCreation = 1 + (which >> 2) % 3;
        simk::faults::FailNth(simk::Call::IoCreateDevice, session.failDeviceCreation);
    } else {
        simk::faults::FailPoolTag(tags[which % 4]);
    }
    session.faultArmed = true;
}

// Leaves the system as a user would before unloading the driver: the handle closed, every reader
// gone through Plug and Play, every bus uninstalled.
void TearDown(Session& session)
{
    Disarm(session);
    CloseReaderHandles(session);
    Close(session);
    simk::pnp::RunUntilIdle();
    for (simk::pnp::DeviceNode* node : session.buses) {
        const NTSTATUS status = simk::pnp::RemoveDevice(node);
        Expect(status == STATUS_SUCCESS, "a bus without readers refused its removal", status);
    }
    session.buses.clear();
    session.busHandles.clear();
    simk::pnp::RunUntilIdle();
    Expect(simk::pnp::OwnedPoolBlocks() == 0, "Plug and Play still holds replies");
    // Windows keeps a Plug and Play driver loaded while its control device lives, so the kernel
    // refuses the unload; the unload routine is then run by hand, as the next input needs the
    // linked-in globals cleared.
    Expect(simk::UnloadDriver(session.driver) == STATUS_DEVICE_BUSY, "unloaded with the control device");
    Expect(session.driver->DeviceObject != nullptr && session.driver->DeviceObject->NextDevice == nullptr,
           "a device object outlived the last bus");
    DriverUnload(session.driver);
    Expect(g_BusRegistry == nullptr && g_ControlDevice == nullptr, "unload left the driver's globals set");
    Expect(session.driver->DeviceObject == nullptr, "the unload routine left a device object");
    Expect(simk::pool::OutstandingCount(session.driver) == 0, "pool left after unload");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    simk::ResetKernel();
    ResetDriverGlobals();

    InputReader input(data, size);
    const uint8_t options = input.Byte();
    // The readers' function driver is always installed (without one they wait at problem 28);
    // the options choose how it powers the reader down.
    {
        simk::pnp::ChildFunctionDriverOptions child;
        child.hardwareId = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
        child.powerDownOnRemove = (options & 2) != 0;
        child.powerDownOnSurpriseRemoval = (options & 4) != 0;
        simk::pnp::SetChildFunctionDriver(child);
    }

    Session session;
    const simk::LoadResult loaded = simk::LoadDriverEntry(DriverEntry, u"msdscbus");
    Expect(loaded.status == STATUS_SUCCESS, "driver failed to load", loaded.status);
    session.driver = loaded.driverObject;

    for (size_t operation = 0; operation < MAX_OPERATIONS && !input.Empty(); ++operation) {
        const uint8_t op = input.Byte();
        const bool faultThisOp = session.faultArmed;
        switch (op % 16) {
        case 0:
            Open(session, input);
            break;
        case 1:
            Close(session);
            break;
        case 2:
        case 3:
            Control(session, input);
            break;
        case 4:
            AddBus(session);
            break;
        case 5:
            RemoveBus(session, input);
            break;
        case 6:
            simk::pnp::RunUntilIdle();
            break;
        case 7:
            ArmFault(session, input);
            break;
        case 9:
            OpenAsPlainUser(session);
            break;
        case 10:
            Close(session, true);
            break;
        case 11:
            AddMany(session, input);
            break;
        case 12:
            RemoveMany(session, input);
            break;
        case 13:
            Race(session, input);
            break;
        case 14:
            OtherRequest(session, input);
            break;
        case 15:
            DevicePnp(session, input);
            break;
        default:
            if (!session.buses.empty()) {
                simk::pnp::EnumerateNow(session.buses[input.Byte() % session.buses.size()]);
            }
            break;
        }
        // A shortage lasts for the one operation after it was armed.
        if (faultThisOp) {
            Disarm(session);
        }
    }

    TearDown(session);
    simk::ResetKernel();
    return 0;
}
