// The control device as a security boundary, as a caller meets it: who may open it, and handles
// that name readers without giving away a kernel address and never match a reader they were not
// given for.
#include "support/client_session.h"

#include <set>

#include "simkernel/security.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::CONTROL_USER_PATH;
using msdsc::testing::HandleOf;
using msdsc::testing::ReaderObject;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;
using msdsc::testing::Request;
using simk::user::ActingAs;
using simk::user::Caller;

constexpr ReaderConfig CONFIG = {4, 5, 6};

using ControlSecurity = ClientTest;

TEST_F(ControlSecurity, OnlyTheSystemAndAdministratorsMayOpenIt)
{
    AddStartedBus();

    // The DACL the driver set: full access for the two, nothing for anyone else, not inherited.
    const simk::security::DeviceDacl dacl = simk::security::DaclOf(ControlDeviceObject());
    ASSERT_TRUE(dacl.set && dacl.present);
    EXPECT_TRUE(dacl.isProtected);
    ASSERT_EQ(dacl.entries.size(), 2u);
    EXPECT_EQ(dacl.entries[0].trustee, simk::security::Trustee::System);
    EXPECT_EQ(dacl.entries[1].trustee, simk::security::Trustee::Administrators);
    for (const auto& entry : dacl.entries) {
        EXPECT_TRUE(entry.allowed);
        EXPECT_EQ(entry.mask, ULONG(GENERIC_ALL));
    }

    // A plain user is refused whatever access it asks for, before the driver hears of it.
    {
        ActingAs user(Caller::User);
        for (ULONG access :
             {ULONG(GENERIC_READ | GENERIC_WRITE), ULONG(SYNCHRONIZE | FILE_READ_ATTRIBUTES), ULONG(FILE_READ_DATA)}) {
            simk::user::Handle handle = nullptr;
            EXPECT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &handle, access), STATUS_ACCESS_DENIED)
                << std::hex << access;
        }
        EXPECT_FALSE(Control()->m_Opened) << "a refused caller must not hold the exclusive open";
    }

    // An administrator and the system get in, one at a time, with every right.
    for (Caller caller : {Caller::Administrator, Caller::System}) {
        ActingAs acting(caller);
        simk::user::Handle handle = nullptr;
        ASSERT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &handle, FILE_ALL_ACCESS), STATUS_SUCCESS);
        EXPECT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
    }
}

TEST_F(ControlSecurity, ASecondAdministratorIsRefusedAsASharingViolationWhileTheFirstHoldsIt)
{
    AddStartedBus();
    Open();
    simk::user::Handle second = nullptr;
    EXPECT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &second), STATUS_SHARING_VIOLATION);
    {
        // Not allowed at all trumps busy: a plain user hears access denied either way.
        ActingAs user(Caller::User);
        EXPECT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &second), STATUS_ACCESS_DENIED);
    }
    CloseClient();
    ASSERT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &second), STATUS_SUCCESS);
    EXPECT_EQ(simk::user::Close(second), STATUS_SUCCESS);
}

// Handles that the driver did not give this load of itself for a reader that still exists: each is
// refused with STATUS_UNSUCCESSFUL and removes nothing.
TEST_F(ControlSecurity, StaleAndForgedHandlesMatchNoReader)
{
    simk::pnp::DeviceNode* buses[2] = {AddStartedBus(), AddStartedBus()};
    simk::user::Handle handle = Open();
    const BusReaderHandle kept = HandleOf(AddReader(handle, CONFIG));
    const BusReaderHandle other = HandleOf(AddReader(handle, CONFIG));
    const BusReaderHandle removed = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(handle, removed).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(kept.BusHandle, removed.BusHandle);
    ASSERT_NE(kept.BusHandle, other.BusHandle);

    const PDEVICE_OBJECT keptObject = ReaderObject(kept);
    const PDEVICE_OBJECT otherObject = ReaderObject(other);
    const ULONG keptTag = MsdscBusHandleTag(kept.BusHandle);
    const ULONG keptSerial = MsdscBusHandleSerial(kept.BusHandle);
    const ULONG keptGeneration = MsdscReaderHandleGeneration(kept.ReaderHandle);
    const ULONG keptNumber = MsdscReaderHandleNumber(kept.ReaderHandle);
    const BusReaderHandle forged[] = {
        removed,                              // stale: its reader is gone
        {kept.BusHandle, other.ReaderHandle}, // a reader of another bus
        {other.BusHandle, kept.ReaderHandle},
        {kept.BusHandle, MsdscMakeReaderHandle(keptGeneration + 1, keptNumber)}, // another generation of its number
        {kept.BusHandle, kept.ReaderHandle + MAX_READERS},                       // above any reader number
        {MsdscMakeBusHandle(keptTag + 1, keptSerial), kept.ReaderHandle},        // another load's tag
        {MsdscMakeBusHandle(0, keptSerial), kept.ReaderHandle},                  // no tag
        {kept.BusHandle + 7, kept.ReaderHandle},                                 // a bus never registered
        {reinterpret_cast<ULONG_PTR>(BusObject(buses[0])),                       // the old form: the addresses
         reinterpret_cast<ULONG_PTR>(keptObject)},
        {0, 0},
        {~0ull, ~0ull},
    };
    for (const BusReaderHandle& bad : forged) {
        SCOPED_TRACE(testing::Message() << std::hex << bad.BusHandle << ":" << bad.ReaderHandle);
        EXPECT_EQ(RemoveReader(handle, bad).status, STATUS_UNSUCCESSFUL);
    }
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderObject(kept), keptObject);
    EXPECT_EQ(ReaderObject(other), otherObject);
    EXPECT_EQ(simk::pnp::Children(buses[0]).size(), 1u);
    EXPECT_EQ(simk::pnp::Children(buses[1]).size(), 1u);

    // The reader half is the instance ID Plug and Play shows: the handle leads to the device node.
    simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(keptObject);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(simk::pnp::Info(node).instanceId,
              simk::Widen(std::to_string(MsdscReaderHandleNumber(kept.ReaderHandle))));
    const std::u16string path = simk::pnp::InstancePath(node);
    EXPECT_EQ(path.substr(path.rfind(u'&') + 1),
              simk::Widen(std::to_string(MsdscReaderHandleNumber(kept.ReaderHandle))));
    EXPECT_EQ(RemoveReader(handle, kept).status, STATUS_SUCCESS);
}

// After a restart and a new load the same bus and reader numbers exist again; a handle of the
// earlier load names neither.
TEST_F(ControlSecurity, HandlesOfAnEarlierLoadMatchNothing)
{
    AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle earlier = HandleOf(AddReader(handle, CONFIG));
    UnloadEverything();

    ASSERT_EQ(Restart(), STATUS_SUCCESS);
    simk::pnp::DeviceNode* bus = AddStartedBus();
    handle = Open();
    const BusReaderHandle now = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(now.ReaderHandle, earlier.ReaderHandle) << "numbering starts again";
    ASSERT_EQ(MsdscBusHandleSerial(now.BusHandle), MsdscBusHandleSerial(earlier.BusHandle))
        << "so does the bus's serial";
    EXPECT_NE(now.BusHandle, earlier.BusHandle);

    EXPECT_EQ(RemoveReader(handle, earlier).status, STATUS_UNSUCCESSFUL);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::Children(bus).size(), 1u);
    EXPECT_EQ(RemoveReader(handle, now).status, STATUS_SUCCESS);
}

// Every byte any request hands back, on success and on failure, compared with the addresses of
// every device object (and extension) the driver has made in the session, at every offset.
TEST_F(ControlSecurity, NoReplyCarriesADeviceObjectAddress)
{
    simk::pnp::DeviceNode* buses[2] = {AddStartedBus(), AddStartedBus()};
    PDEVICE_OBJECT unstarted = AddUnstartedBus();
    simk::user::Handle handle = Open();

    std::vector<Reply> replies;
    std::vector<BusReaderHandle> readers;
    replies.push_back(Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 64));
    for (int i = 0; i < 6; ++i) {
        replies.push_back(AddReader(handle, CONFIG, 12, 64));
        if (replies.back().status == STATUS_SUCCESS) {
            readers.push_back(HandleOf(replies.back()));
        }
    }
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(readers.size(), 6u) << "the unstarted bus gives its turns to the started ones";
    std::set<ULONG64> addresses;
    for (PDEVICE_OBJECT device : simk::DevicesOfDriver(Driver())) {
        addresses.insert(reinterpret_cast<ULONG_PTR>(device));
        addresses.insert(reinterpret_cast<ULONG_PTR>(device->DeviceExtension));
    }
    ASSERT_EQ(addresses.size(), 2 * (1 + 3 + readers.size())) << "the control device, three buses, the readers";
    const BusReaderHandle removeIn = readers[0];
    replies.push_back(Request(handle, IOCTL_BUS_REMOVE_READER, &removeIn, sizeof(removeIn), 64));
    replies.push_back(Request(handle, IOCTL_BUS_REMOVE_READER, &removeIn, sizeof(removeIn), 64));
    replies.push_back(Request(handle, msdsc::testing::UNASSIGNED_CONTROL_CODE, nullptr, 0, 64));
    replies.push_back(AddReader(handle, CONFIG, 11, 64));
    (void)buses;
    (void)unstarted;
    for (const Reply& reply : replies) {
        for (size_t offset = 0; offset + 8 <= reply.bytes.size(); ++offset) {
            ULONG64 window = 0;
            std::memcpy(&window, reply.bytes.data() + offset, 8);
            EXPECT_EQ(addresses.count(window), 0u) << "reply with status " << std::hex << reply.status
                                                   << " holds an address at byte " << std::dec << offset;
        }
    }
}

} // namespace
