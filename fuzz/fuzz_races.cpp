// Two requests at once: each side an add, a removal, the session's close, an open, the version, or
// one Plug and Play operation on a bus, run on threads of their own; one side is held at the lock
// boundary the input names while the other runs until it finishes or waits, so the interleaving,
// and any finding, replays from the input.
#include "fuzz_session.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "simkernel/hooks.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/user.h"

namespace msdsc_fuzz {

namespace {

// The lock boundaries a race may hold its first request at.
constexpr unsigned MAX_BOUNDARY = 24;

// One side of a race: what it does, and what came of it, for the session's books afterwards.
enum class Act : uint8_t { Add, Remove, Close, Open, Version, Enumerate, PullBus, UninstallBus, Count };

struct RaceSide {
    Act act = Act::Version;
    simk::user::Handle handle = nullptr; // the session's handle when the race began
    BusReaderHandle target{};            // Remove
    simk::pnp::DeviceNode* bus = nullptr;
    NTSTATUS status = STATUS_PENDING;
    BusReaderHandle added{};
    simk::user::Handle opened = nullptr;
};

void PickSide(Session& session, InputReader& input, RaceSide* side)
{
    side->act = static_cast<Act>(input.Byte() % static_cast<uint8_t>(Act::Count));
    side->handle = session.handle;
    const uint8_t which = input.Byte();
    if (!session.live.empty()) {
        side->target = session.live[which % session.live.size()];
    }
    if (!session.buses.empty()) {
        side->bus = session.buses[which % session.buses.size()];
    }
}

void RunSide(RaceSide& side)
{
    ULONG_PTR information = 0;
    switch (side.act) {
    case Act::Add: {
        const ReaderConfig config = {7, 1, 0};
        side.status = simk::user::DeviceIoControl(side.handle, IOCTL_BUS_ADD_READER, &config, sizeof(config),
                                                  &side.added, sizeof(side.added), &information);
        break;
    }
    case Act::Remove:
        side.status = simk::user::DeviceIoControl(side.handle, IOCTL_BUS_REMOVE_READER, &side.target,
                                                  sizeof(side.target), nullptr, 0, &information);
        break;
    case Act::Close:
        side.status = simk::user::Close(side.handle);
        break;
    case Act::Open:
        side.status = simk::user::OpenDevice(CONTROL_PATH, &side.opened);
        break;
    case Act::Version: {
        DriverVersion version{};
        side.status = simk::user::DeviceIoControl(side.handle, IOCTL_BUS_GET_VERSION, nullptr, 0, &version,
                                                  sizeof(version), &information);
        break;
    }
    case Act::Enumerate:
        simk::pnp::EnumerateNow(side.bus);
        side.status = STATUS_SUCCESS;
        break;
    case Act::PullBus:
        simk::pnp::SurpriseRemoveDevice(side.bus);
        side.status = STATUS_SUCCESS;
        break;
    default:
        side.status = simk::pnp::RemoveDevice(side.bus);
        break;
    }
}

// A side that cannot run as picked (no handle, no bus) does nothing.
bool Runnable(const RaceSide& side)
{
    switch (side.act) {
    case Act::Open:
        return true;
    case Act::Enumerate:
    case Act::PullBus:
    case Act::UninstallBus:
        return side.bus != nullptr;
    default:
        return side.handle != nullptr;
    }
}

bool RemovesBus(const RaceSide& side) { return side.act == Act::PullBus || side.act == Act::UninstallBus; }

// The manager runs one Plug and Play operation at a time (a lock of its own, not a kernel wait the
// race could see), so only one side of a race is one.
bool IsPnpOperation(const RaceSide& side) { return side.act == Act::Enumerate || RemovesBus(side); }

// Holds `held` at its nth lock boundary (or `racer` first at its own first, when in flight), lets
// the other run until it finishes or waits in the kernel, then lets the first go. The input names
// the sides, the boundary and the order, so a finding replays from its input.
void RunRace(unsigned nth, bool racerInFlight, RaceSide& held, RaceSide& racer)
{
    using namespace simk::hooks;
    RaceThread racerThread([&] { RunSide(racer); });
    std::unique_ptr<Gate> entry;
    if (racerInFlight) {
        entry = std::make_unique<Gate>(LockBoundary(1, racerThread.KernelThread()));
        racerThread.Go();
        Expect(WaitUntil([&] { return entry->Held() || racerThread.Done(); }), "a racing request hung");
    }
    RaceThread heldThread([&] { RunSide(held); });
    Gate gate(LockBoundary(nth, heldThread.KernelThread()));
    heldThread.Go();
    // A request already in flight may hold what the held one needs: then it waits in the kernel.
    Expect(WaitUntil([&] { return gate.Held() || heldThread.Done() || IsWaiting(heldThread.KernelThread()); }),
           "a held request hung before its boundary");
    if (entry) {
        entry->Release();
    } else {
        racerThread.Go();
    }
    Expect(racerThread.WaitDoneOrWaiting(), "a racing request neither finished nor waited in the kernel");
    gate.Release();
    Expect(heldThread.Join() && racerThread.Join(), "a raced request never finished");
    Expect(!gate.TimedOut() && !(entry && entry->TimedOut()), "a held request was never let go");
}

bool OneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    for (NTSTATUS one : allowed) {
        if (status == one) {
            return true;
        }
    }
    return false;
}

// What the race left, judged side by side, then written into the session's books.
void SettleSide(Session& session, const RaceSide& side, bool otherClosed)
{
    const NTSTATUS status = side.status;
    switch (side.act) {
    case Act::Add:
        Expect(OneOf(status, {STATUS_SUCCESS, STATUS_FILE_CLOSED, STATUS_INVALID_HANDLE, STATUS_INVALID_DEVICE_STATE,
                              STATUS_INSUFFICIENT_RESOURCES}),
               "raced add status", status);
        if (status == STATUS_SUCCESS) {
            Expect(IsKnownBus(session, side.added.BusHandle), "raced add names an unknown bus");
            AdoptReader(session, side.added);
        }
        break;
    case Act::Remove:
        Expect(OneOf(status, {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_FILE_CLOSED, STATUS_INVALID_HANDLE}),
               "raced remove status", status);
        if (status == STATUS_SUCCESS) {
            for (auto it = session.live.begin(); it != session.live.end(); ++it) {
                if (it->ReaderHandle == side.target.ReaderHandle && it->BusHandle == side.target.BusHandle) {
                    session.live.erase(it);
                    break;
                }
            }
        }
        break;
    case Act::Version:
        Expect(OneOf(status, {STATUS_SUCCESS, STATUS_FILE_CLOSED, STATUS_INVALID_HANDLE, STATUS_INVALID_DEVICE_STATE}),
               "raced version status", status);
        break;
    case Act::Open:
        Expect(OneOf(status, {STATUS_SUCCESS, STATUS_SHARING_VIOLATION, STATUS_INVALID_DEVICE_STATE}),
               "raced open status", status);
        if (status == STATUS_SUCCESS) {
            // Only a session that ended in the race makes room for another.
            Expect(session.handle == nullptr || otherClosed, "two sessions at once");
        }
        break;
    case Act::Close:
        Expect(status == STATUS_SUCCESS, "raced close failed", status);
        break;
    default:
        break;
    }
}

} // namespace

void Race(Session& session, InputReader& input)
{
    Disarm(session);
    RaceSide sides[2];
    PickSide(session, input, &sides[0]);
    PickSide(session, input, &sides[1]);
    const uint8_t how = input.Byte();
    const unsigned nth = 1 + how % MAX_BOUNDARY;
    const bool inFlight = (how & 0x80) != 0;
    // One close of one handle (the second would find it gone), one Plug and Play operation.
    const bool twice = (sides[0].act == Act::Close && sides[1].act == Act::Close) ||
                       (IsPnpOperation(sides[0]) && IsPnpOperation(sides[1]));
    if (twice || !Runnable(sides[0]) || !Runnable(sides[1])) {
        return;
    }
    session.racing = true;
    RunRace(nth, inFlight, sides[0], sides[1]);
    const bool closed = sides[0].act == Act::Close || sides[1].act == Act::Close;
    // A bus that went in the race took its readers' numbers back with it: they leave the books
    // before an add is judged.
    for (const RaceSide& side : sides) {
        if (side.act == Act::PullBus || (side.act == Act::UninstallBus && NT_SUCCESS(side.status))) {
            for (size_t i = 0; i < session.buses.size(); ++i) {
                if (session.buses[i] == side.bus) {
                    const ULONG64 busHandle = session.busHandles[i];
                    session.live.erase(
                        std::remove_if(session.live.begin(), session.live.end(),
                                       [&](const BusReaderHandle& r) { return r.BusHandle == busHandle; }),
                        session.live.end());
                }
            }
        }
    }
    // A removal that won the race gave its number back, so an add may rightly be given it: the
    // adds are judged last.
    for (const RaceSide& side : sides) {
        if (side.act != Act::Add)
            SettleSide(session, side, closed);
    }
    for (const RaceSide& side : sides) {
        if (side.act == Act::Add)
            SettleSide(session, side, closed);
    }
    if (closed) {
        session.handle = nullptr;
        session.readers.clear();
        session.live.clear();
    }
    for (const RaceSide& side : sides) {
        if (side.act == Act::Open && side.status == STATUS_SUCCESS) {
            session.handle = side.opened;
        } else if (side.act == Act::PullBus || (side.act == Act::UninstallBus && NT_SUCCESS(side.status))) {
            ForgetBus(session, side.bus);
        }
    }
    session.racing = false;
}

} // namespace msdsc_fuzz
