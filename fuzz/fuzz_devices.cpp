// The fuzzer's requests of major functions no client sends, and what a user or the system does to
// the devices through Plug and Play: uninstall, disable, restart, rebalance, surprise removal,
// sleep and wake, and handles an application holds on readers.
#include "fuzz_session.h"

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

// A request of a major function no client sends the control device, as another driver sends one:
// to the control device and to a reader, which answer STATUS_NOT_IMPLEMENTED (a WMI request the
// reader completes as it came), and to a bus, which passes it down.
const UCHAR OTHER_MAJORS[] = {
    IRP_MJ_CREATE_NAMED_PIPE,
    IRP_MJ_READ,
    IRP_MJ_WRITE,
    IRP_MJ_QUERY_INFORMATION,
    IRP_MJ_SET_INFORMATION,
    IRP_MJ_QUERY_EA,
    IRP_MJ_SET_EA,
    IRP_MJ_FLUSH_BUFFERS,
    IRP_MJ_QUERY_VOLUME_INFORMATION,
    IRP_MJ_SET_VOLUME_INFORMATION,
    IRP_MJ_DIRECTORY_CONTROL,
    IRP_MJ_FILE_SYSTEM_CONTROL,
    IRP_MJ_INTERNAL_DEVICE_CONTROL,
    IRP_MJ_SHUTDOWN,
    IRP_MJ_LOCK_CONTROL,
    IRP_MJ_CREATE_MAILSLOT,
    IRP_MJ_QUERY_SECURITY,
    IRP_MJ_SET_SECURITY,
    IRP_MJ_SYSTEM_CONTROL,
    IRP_MJ_DEVICE_CHANGE,
    IRP_MJ_QUERY_QUOTA,
    IRP_MJ_SET_QUOTA,
    IRP_MJ_DEVICE_CONTROL,
};

// Every reader node on the session's buses, present or not.
std::vector<simk::pnp::DeviceNode*> ReaderNodes(const Session& session)
{
    std::vector<simk::pnp::DeviceNode*> readers;
    for (simk::pnp::DeviceNode* bus : session.buses) {
        for (simk::pnp::DeviceNode* child : simk::pnp::Children(bus)) {
            readers.push_back(child);
        }
    }
    return readers;
}

} // namespace

void OtherRequest(Session& session, InputReader& input)
{
    const UCHAR major = OTHER_MAJORS[input.Byte() % std::size(OTHER_MAJORS)];
    const uint8_t where = input.Byte();
    PDEVICE_OBJECT target = nullptr;
    enum { Control, Bus, Reader } kind = Control;
    const std::vector<simk::pnp::DeviceNode*> readers = ReaderNodes(session);
    if (where % 3 == 1 && !session.buses.empty()) {
        target = simk::pnp::Pdo(session.buses[where % session.buses.size()])->AttachedDevice;
        kind = Bus;
    } else if (where % 3 == 2 && !readers.empty()) {
        target = simk::pnp::Pdo(readers[where % readers.size()]);
        kind = Reader;
    } else if (major != IRP_MJ_DEVICE_CONTROL) {
        // The control device's own control requests come only with a client's file object.
        target = simk::FindDevice(CONTROL_DEVICE_PATH);
    }
    if (target == nullptr) {
        return;
    }
    PIRP irp = simk::io::BuildIrp(target, major, input.Byte() & 3);
    const NTSTATUS status = simk::io::SendAndWait(target, irp);
    IoFreeIrp(irp);
    if (kind == Reader && major == IRP_MJ_SYSTEM_CONTROL) {
        Expect(status == STATUS_NOT_SUPPORTED, "the reader changed a WMI request's status", status);
    } else if (kind != Bus) {
        Expect(status == STATUS_NOT_IMPLEMENTED, "a request no device handles was answered", status);
    }
}

// Handles on readers' stacks, as an application holds them: they veto an uninstall (which is then
// cancelled) and hold back a surprise-removed reader's last removal.
void CloseReaderHandles(Session& session)
{
    for (simk::user::Handle handle : session.onReaders) {
        Expect(simk::user::Close(handle) == STATUS_SUCCESS, "a handle on a reader did not close");
    }
    session.onReaders.clear();
}

void DevicePnp(Session& session, InputReader& input)
{
    const uint8_t action = input.Byte();
    const uint8_t which = input.Byte();
    const std::vector<simk::pnp::DeviceNode*> readers = ReaderNodes(session);
    if ((action & 0x80) != 0) {
        // The bus: rebalance, a target-relation query, a WMI request, or its uninstall.
        if (session.buses.empty()) {
            return;
        }
        simk::pnp::DeviceNode* bus = session.buses[which % session.buses.size()];
        switch (action % 4) {
        case 0:
            Expect(NT_SUCCESS(simk::pnp::Rebalance(bus)), "a bus refused its rebalance");
            break;
        case 1:
            Expect(NT_SUCCESS(simk::pnp::QueryTargetDeviceRelation(bus)), "a bus's target relation");
            break;
        case 2:
            simk::pnp::SendWmiRequest(bus, which & 0x0F);
            break;
        default:
            // Vetoed while it has readers; then cancelled.
            if (NT_SUCCESS(simk::pnp::RemoveDevice(bus))) {
                ForgetBus(session, bus);
            }
            break;
        }
        return;
    }
    switch (action % 8) {
    case 0:
        if (!readers.empty()) {
            simk::user::Handle handle = nullptr;
            if (NT_SUCCESS(simk::user::OpenDeviceObject(simk::pnp::Pdo(readers[which % readers.size()]), &handle))) {
                session.onReaders.push_back(handle);
            }
        }
        return;
    case 1:
        if (!session.onReaders.empty()) {
            const size_t index = which % session.onReaders.size();
            Expect(simk::user::Close(session.onReaders[index]) == STATUS_SUCCESS, "a handle on a reader did not close");
            session.onReaders.erase(session.onReaders.begin() + static_cast<long>(index));
        }
        return;
    case 2: {
        // Sleep and wake: each started stack hears both.
        const NTSTATUS sleep = simk::pnp::SetSystemPowerState(PowerSystemSleeping3);
        Expect(NT_SUCCESS(sleep), "the system could not sleep", sleep);
        const NTSTATUS wake = simk::pnp::SetSystemPowerState(PowerSystemWorking);
        Expect(NT_SUCCESS(wake), "the system could not wake", wake);
        return;
    }
    default:
        break;
    }
    if (readers.empty()) {
        return;
    }
    simk::pnp::DeviceNode* reader = readers[which % readers.size()];
    switch (action % 8) {
    case 3:
        simk::pnp::RemoveDevice(reader); // an uninstall: the bus still reports it, so it stays disabled
        break;
    case 4:
        if (simk::pnp::State(reader) == simk::pnp::NodeState::Disabled) {
            simk::pnp::EnableDevice(reader);
        } else {
            simk::pnp::DisableDevice(reader);
        }
        break;
    case 5:
        simk::pnp::RestartDevice(reader);
        break;
    case 6:
        simk::pnp::SurpriseRemoveDevice(reader); // its stack failed while its bus reports it
        break;
    default:
        if (which & 1) {
            simk::pnp::Rebalance(reader);
        } else {
            Expect(NT_SUCCESS(simk::pnp::QueryTargetDeviceRelation(reader)), "a reader's target relation");
        }
        break;
    }
}

} // namespace msdsc_fuzz
