// The bus-relations reply: its size and order, the references it carries, what happens to the
// relations that drivers above put in the request, and a build that runs out of pool.
#include "support/linked_driver.h"

#include "simkernel/faults.h"

namespace {

using namespace msdsc::testing;

class BusRelationsTest : public DriverTest
{
protected:
    // The reply's objects, after checking its pool block; the test then owns their references.
    static std::vector<PDEVICE_OBJECT> ReplyObjects(ULONG_PTR information, size_t expectedBytes)
    {
        const TakenReply reply = TakeReply(information);
        EXPECT_EQ(reply.bytes.size(), expectedBytes);
        EXPECT_EQ(reply.tag, BUS_RELATIONS_TAG);
        EXPECT_EQ(reply.type, PagedPool);
        std::vector<PDEVICE_OBJECT> objects;
        if (reply.bytes.size() < sizeof(DEVICE_RELATIONS)) {
            return objects;
        }
        const auto* relations = reinterpret_cast<const DEVICE_RELATIONS*>(reply.bytes.data());
        if (offsetof(DEVICE_RELATIONS, Objects) + relations->Count * sizeof(PDEVICE_OBJECT) > reply.bytes.size()) {
            ADD_FAILURE() << "Count " << relations->Count << " overruns the block";
            return objects;
        }
        const PDEVICE_OBJECT* slots = relations->Objects;
        objects.assign(slots, slots + relations->Count);
        return objects;
    }

    static void DropReferences(const std::vector<PDEVICE_OBJECT>& objects, size_t count)
    {
        for (size_t i = 0; i < count && i < objects.size(); ++i) {
            ObDereferenceObject(objects[i]);
        }
    }
};

TEST_F(BusRelationsTest, ReplySizeHasOneSlotMoreThanItFillsAndNeverFewerThanOne)
{
    struct Case {
        unsigned readers;
        unsigned earlier;
        size_t bytes;
    };
    for (const Case c : {Case{0, 0, 24}, Case{1, 0, 24}, Case{0, 1, 24}, Case{1, 1, 32}, Case{2, 0, 32}}) {
        SCOPED_TRACE(::testing::Message() << c.readers << " readers, " << c.earlier << " earlier objects");
        BusDevice* bus = AddBus();
        for (unsigned i = 0; i < c.readers; ++i) {
            CreateReader(bus);
        }
        PDEVICE_RELATIONS earlier = c.earlier != 0 ? EarlierRelations({PassThroughLower::CreateDevice()}) : nullptr;

        const IrpOutcome outcome =
            QueryRelations(bus->m_DeviceObject, BusRelations, reinterpret_cast<ULONG_PTR>(earlier));
        EXPECT_EQ(outcome.status, STATUS_SUCCESS);
        EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
        EXPECT_EQ(PassThroughLower::Seen().back().statusOnArrival, STATUS_SUCCESS) << "passed down as a success";
        const std::vector<PDEVICE_OBJECT> objects = ReplyObjects(outcome.information, c.bytes);
        EXPECT_EQ(objects.size(), c.readers + c.earlier);
        DropReferences(objects, c.readers);
    }
}

TEST_F(BusRelationsTest, ReadersInCreationOrderThenEarlierObjectsEachReaderReferencedOnce)
{
    BusDevice* bus = AddBus();
    std::vector<PDEVICE_OBJECT> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(CreateReader(bus)->m_DeviceObject);
    }
    const std::vector<PDEVICE_OBJECT> others = {PassThroughLower::CreateDevice(), PassThroughLower::CreateDevice()};
    std::vector<LONG_PTR> before;
    for (PDEVICE_OBJECT device : readers) {
        before.push_back(simk::ObjectReferenceCount(device));
    }
    const LONG_PTR otherBefore = simk::ObjectReferenceCount(others[0]);
    PDEVICE_RELATIONS earlier = EarlierRelations(others);

    const IrpOutcome outcome = QueryRelations(bus->m_DeviceObject, BusRelations, reinterpret_cast<ULONG_PTR>(earlier));
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_FALSE(simk::pool::IsOutstanding(earlier)) << "the earlier array is freed";
    const std::vector<PDEVICE_OBJECT> objects = ReplyObjects(outcome.information, 56);
    const std::vector<PDEVICE_OBJECT> expected = {readers[0], readers[1], readers[2], others[0], others[1]};
    EXPECT_EQ(objects, expected);
    for (size_t i = 0; i < readers.size(); ++i) {
        EXPECT_EQ(simk::ObjectReferenceCount(readers[i]), before[i] + 1) << "reader " << i;
    }
    EXPECT_EQ(simk::ObjectReferenceCount(others[0]), otherBefore) << "earlier objects get no extra reference";
    DropReferences(objects, readers.size());
}

TEST_F(BusRelationsTest, EarlierArrayWithCountZeroIsFreedAndAddsNothing)
{
    BusDevice* bus = AddBus();
    PDEVICE_OBJECT reader = CreateReader(bus)->m_DeviceObject;
    PDEVICE_RELATIONS earlier = EarlierRelations({});

    const IrpOutcome outcome = QueryRelations(bus->m_DeviceObject, BusRelations, reinterpret_cast<ULONG_PTR>(earlier));
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_FALSE(simk::pool::IsOutstanding(earlier));
    const std::vector<PDEVICE_OBJECT> objects = ReplyObjects(outcome.information, 24);
    EXPECT_EQ(objects, std::vector<PDEVICE_OBJECT>{reader});
    DropReferences(objects, 1);
}

TEST_F(BusRelationsTest, BuildWithoutPoolFailsTheRequestAndLeavesEverythingAsItWas)
{
    BusDevice* bus = AddBus();
    PDEVICE_OBJECT reader = CreateReader(bus)->m_DeviceObject;
    PDEVICE_RELATIONS earlier = EarlierRelations({PassThroughLower::CreateDevice()});
    const LONG_PTR referencesBefore = simk::ObjectReferenceCount(reader);
    const size_t seenBefore = PassThroughLower::Seen().size();
    const simk::pool::Snapshot pool;
    simk::faults::FailPoolTag(BUS_RELATIONS_TAG);

    const IrpOutcome outcome = QueryRelations(bus->m_DeviceObject, BusRelations, reinterpret_cast<ULONG_PTR>(earlier));
    simk::faults::DisarmAll();
    EXPECT_EQ(outcome.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(outcome.returned, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(outcome.information, reinterpret_cast<ULONG_PTR>(earlier)) << "the earlier array stays in the request";
    EXPECT_TRUE(pool.Unchanged()) << simk::pool::Describe(pool.NewSince());
    EXPECT_EQ(simk::ObjectReferenceCount(reader), referencesBefore);
    EXPECT_EQ(PassThroughLower::Seen().size(), seenBefore) << "a failed build is completed, not passed down";
    // The list's hold was let go: the bus's readers can still change.
    EXPECT_NE(CreateReader(bus), nullptr);
    ExFreePoolWithTag(earlier, 0);
}

TEST_F(BusRelationsTest, ReaderTakenOffTheBusIsNoLongerReported)
{
    BusDevice* bus = AddBus();
    ReaderDevice* firstReader = CreateReader(bus);
    PDEVICE_OBJECT first = firstReader->m_DeviceObject;
    PDEVICE_OBJECT second = CreateReader(bus)->m_DeviceObject;
    ASSERT_EQ(ReportReaders(bus), (std::vector<PDEVICE_OBJECT>{first, second}));
    ASSERT_EQ(bus->RemoveReader(firstReader->Handle()), STATUS_SUCCESS);

    const IrpOutcome outcome = QueryRelations(bus->m_DeviceObject, BusRelations);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    const std::vector<PDEVICE_OBJECT> objects = ReplyObjects(outcome.information, 24);
    EXPECT_EQ(objects, std::vector<PDEVICE_OBJECT>{second});
    DropReferences(objects, 1);
    // The removed reader is deleted by its own removal request.
    EXPECT_EQ(SendPnp(first, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

} // namespace
