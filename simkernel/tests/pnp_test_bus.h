// A small WDM bus driver for the Plug and Play manager's tests: its FDO reports the child PDOs a test
// plugs in, and each child answers IDs, texts, capabilities and bus information as configured and
// records every request it is sent.
#pragma once

#include <wdm.h>

#include "simkernel/pnp.h"
#include "simkernel/testing.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pnptest {

struct ChildShape {
    std::u16string deviceId = u"TestBus\\Child";
    std::u16string instanceId; // empty: the child's number
    std::vector<std::u16string> hardwareIds{u"TestBus\\Child"};
    std::vector<std::u16string> compatibleIds; // empty: the query is completed as it came
    std::optional<std::u16string> description = u"Test child";
    std::optional<std::u16string> location; // none: the query is completed as it came
    NTSTATUS deviceIdStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    NTSTATUS queryRemoveStatus = STATUS_SUCCESS;
    NTSTATUS cancelRemoveStatus = STATUS_SUCCESS; // anything else is a driver bug
    NTSTATUS surpriseRemovalStatus = STATUS_SUCCESS;
    NTSTATUS removeStatus = STATUS_SUCCESS;
    bool pendStart = false;            // hold the start request until CompleteHeldStart
    std::optional<ULONG> writeOnStart; // write "Value" into the hardware key when started
    bool leakKeyOnStart = false;       // ... and keep the key open
    bool uniqueId = false;             // claims an instance ID unique on the machine
    bool rawDeviceOk = true;           // may run without a function driver (clear: problem 28 without one)
    bool failSystemQuery = false;      // vetoes a system query-power
    bool holdSystemSet = false;        // holds system set-powers until CompleteHeldPower
    bool refuseUnanswered = false;     // a faulty bus: refuses requests it does not handle
    bool consumesResources = false;    // asks for an I/O port, so a rebalance stops and restarts it
    bool deleteAtAnyRemoval = false;   // a faulty bus: deletes the PDO while it still reports it
    bool pagable = true;               // DO_POWER_PAGABLE on the PDO
    // The stop requests answered with these (none: as they came); a faulty bus fails a stop.
    std::optional<NTSTATUS> queryStopStatus;
    std::optional<NTSTATUS> stopStatus;
    std::optional<NTSTATUS> cancelStopStatus;
    NTSTATUS systemSetPowerStatus = STATUS_SUCCESS; // a faulty bus fails a system set-power
    bool targetRelationNamesTheBus = false;         // a faulty bus: the target relation is not the PDO
};

struct SeenIrp {
    UCHAR major;
    UCHAR minor;
    ULONG detail; // ID type, text type, relation type or power state
};

struct Child {
    ChildShape shape;
    ULONG number = 0;
    DEVICE_OBJECT* pdo = nullptr;
    bool present = true;
    bool deleted = false;
    bool awaitingRemoval = false; // surprise-removed, its final removal still to come
    std::vector<SeenIrp> seen;
    std::optional<DEVICE_CAPABILITIES> capabilitiesOnArrival;
    ULONG localeSeen = 0;
    IRP* heldStart = nullptr;
    IRP* heldPower = nullptr;
};

class TestBus
{
public:
    TestBus(); // loads the driver "\Driver\TestBus"; one at a time
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    DRIVER_OBJECT* Driver() const { return m_Driver; }
    DEVICE_OBJECT* Fdo() const { return m_Fdo; }
    DEVICE_OBJECT* BusPdo() const { return m_BusPdo; }

    // A new child PDO, present on the bus; Plug and Play learns of it at the next enumeration.
    Child* Plug(ChildShape shape = {});
    // The child leaves the bus; its PDO goes with its removal.
    void Unplug(Child* child);
    void Invalidate(); // IoInvalidateDeviceRelations(bus PDO, BusRelations)
    void CompleteHeldStart(Child* child, NTSTATUS status);
    void CompleteHeldPower(Child* child);

    bool vetoQueryRemove = false;
    bool failNextStart = false; // the bus FDO fails its next start (after the PDO below succeeded)
    bool reportFirstChildTwice = false;
    bool reportOwnPdo = false; // a faulty bus: lists the PDO it sits on among its children
    std::vector<SeenIrp> FdoSeen() const;
    std::vector<SeenIrp> ChildSeen(const Child* child) const;

    // Driver side (static dispatch routines find the one instance).
    static TestBus* Current();
    NTSTATUS OnAddDevice(DEVICE_OBJECT* pdo);
    NTSTATUS OnFdo(DEVICE_OBJECT* device, IRP* irp);
    NTSTATUS OnChild(Child* child, IRP* irp);
    mutable std::mutex mutex;

private:
    NTSTATUS OnChildPnp(Child* child, IRP* irp);
    NTSTATUS OnChildPower(Child* child, IRP* irp);

    DRIVER_OBJECT* m_Driver = nullptr;
    DEVICE_OBJECT* m_Fdo = nullptr;
    DEVICE_OBJECT* m_Lower = nullptr;
    DEVICE_OBJECT* m_BusPdo = nullptr;
    std::vector<Child*> m_Children; // owned; freed with the bus
    std::vector<SeenIrp> m_FdoSeen;
};

// A driver of its own under `service` whose AddDevice attaches a device that passes everything
// down (a function driver for updates, a filter for stack-order checks).
// With `pagable` clear its devices are never DO_POWER_PAGABLE, whatever is below them.
DRIVER_OBJECT* LoadPassThroughDriver(const char16_t* service, bool pagable = true);

// The minor functions of a request list, for readable comparisons.
std::vector<UCHAR> Minors(const std::vector<SeenIrp>& seen, UCHAR major = IRP_MJ_PNP);

// A started root device of the test bus driver, with the function-driver double installed for the
// children it reports ("TestBus\\Child"), so that they start.
class BusWithChildDriver : public simk::testing::KernelTest
{
protected:
    static constexpr const char16_t* CHILD_ID = u"TestBus\\Child";

    void SetUp() override
    {
        KernelTest::SetUp();
        bus = std::make_unique<TestBus>();
        busNode = simk::pnp::CreateRootDevice(bus->Driver(), u"TestBus\\Bus");
        ASSERT_EQ(simk::pnp::State(busNode), simk::pnp::NodeState::Started);
        simk::pnp::ChildFunctionDriverOptions function;
        function.hardwareId = CHILD_ID;
        simk::pnp::SetChildFunctionDriver(function);
    }
    void TearDown() override
    {
        KernelTest::TearDown();
        bus.reset();
    }

    // Plugs a child in and lets Plug and Play enumerate and start it.
    simk::pnp::DeviceNode* Plug(ChildShape shape = {})
    {
        child = bus->Plug(shape);
        bus->Invalidate();
        simk::pnp::RunUntilIdle();
        return simk::pnp::FindNodeByPdo(child->pdo);
    }

    std::unique_ptr<TestBus> bus;
    simk::pnp::DeviceNode* busNode = nullptr;
    Child* child = nullptr;
};

} // namespace pnptest
