// Device interfaces as an application and a driver watching them see them: arrivals and removals
// announced only for real changes, delivered from the manager's queue, the manager switching off what
// a removed stack left on, a switched-off interface still listed, and a registration's own rules.
#include "kernel_test_driver.h"
#include "pnp_test_bus.h"

#include <wdmguid.h>

#include "simkernel/pnp.h"
#include "simkernel/testing.h"

#include <string>
#include <vector>

using namespace simk::pnp;

namespace simk::pnp {
void PrintTo(const InterfaceEvent& e, std::ostream* os)
{
    *os << (e.arrival ? "arrival " : "removal ") << simk::Narrow(e.linkName);
}
} // namespace simk::pnp

namespace {

const GUID WATCHED_CLASS = {0x6D3A0E51, 0x1B7C, 0x4E2A, {0x9F, 0x10, 0x44, 0x21, 0x0C, 0x7E, 0x33, 0xA8}};

std::u16string Text(PCUNICODE_STRING s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::u16string Folded(std::u16string s)
{
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
    return s;
}

// A driver's notification callback: what it was told, with the link name as it was handed over.
struct DriverSaw {
    std::vector<std::pair<bool, std::u16string>> events;
    bool wrongShape = false;
};

NTSTATUS RecordNotification(PVOID structure, PVOID context)
{
    auto* saw = static_cast<DriverSaw*>(context);
    const auto* change = static_cast<const DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(structure);
    const bool arrival = IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL);
    if (change->Version != 1 || change->Size != sizeof(*change) ||
        !IsEqualGUID(change->InterfaceClassGuid, WATCHED_CLASS) ||
        (!arrival && !IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_REMOVAL)))
        saw->wrongShape = true;
    saw->events.emplace_back(arrival, Text(change->SymbolicLinkName));
    return STATUS_SUCCESS;
}

class DeviceInterfaceNotifications : public pnptest::BusWithChildDriver
{
protected:
    void SetUp() override
    {
        BusWithChildDriver::SetUp();
        node = Plug();
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(IoRegisterDeviceInterface(child->pdo, &WATCHED_CLASS, nullptr, &link), STATUS_SUCCESS);
        folded = Folded(Text(&link));
    }
    void TearDown() override
    {
        RtlFreeUnicodeString(&link);
        BusWithChildDriver::TearDown();
    }

    NTSTATUS Set(bool on) { return IoSetDeviceInterfaceState(&link, on ? TRUE : FALSE); }
    std::vector<InterfaceEvent> Expected(std::initializer_list<bool> arrivals) const
    {
        std::vector<InterfaceEvent> out;
        for (bool arrival : arrivals)
            out.push_back({arrival, folded});
        return out;
    }

    DeviceNode* node = nullptr;
    UNICODE_STRING link{};
    std::u16string folded;
};

TEST_F(DeviceInterfaceNotifications, OnlyRealChangesAreAnnouncedFromTheQueueAndAnInterfaceSwitchedOffStaysListed)
{
    InterfaceWatch watch(WATCHED_CLASS);
    ASSERT_EQ(Set(true), STATUS_SUCCESS);
    // Queued, as Windows delivers from its event thread: nothing before the manager's worker runs.
    EXPECT_TRUE(watch.Events().empty());
    RunUntilIdle();
    EXPECT_EQ(watch.Events(), Expected({true}));

    // Setting the state it already has changes nothing and announces nothing.
    EXPECT_EQ(Set(true), STATUS_OBJECT_NAME_EXISTS);
    ASSERT_EQ(Set(false), STATUS_SUCCESS);
    EXPECT_EQ(Set(false), STATUS_OBJECT_NAME_NOT_FOUND);
    RunUntilIdle();
    EXPECT_EQ(watch.Events(), Expected({true, false}));

    // Off, its device still present: gone from the present list, listed as disabled in the full one.
    EXPECT_TRUE(DeviceInterfaces(WATCHED_CLASS).empty());
    const auto all = RegisteredInterfaces(WATCHED_CLASS);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].linkName, folded);
    EXPECT_EQ(all[0].instancePath, InstancePath(node));
    EXPECT_FALSE(all[0].enabled);
}

TEST_F(DeviceInterfaceNotifications, TheManagerSwitchesOffWhatARemovedStackLeftOnAndSaysSo)
{
    ASSERT_EQ(Set(true), STATUS_SUCCESS);
    // A late watcher asking for the existing interfaces hears of them before its registration returns.
    InterfaceWatch watch(WATCHED_CLASS, true);
    EXPECT_EQ(watch.Events(), Expected({true}));

    // The child is yanked; nothing of its stack switched the interface off.
    bus->Unplug(child);
    bus->Invalidate();
    RunUntilIdle();
    EXPECT_EQ(watch.Events(), Expected({true, false}));
    const auto all = RegisteredInterfaces(WATCHED_CLASS);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(all[0].enabled);
    EXPECT_EQ(Set(false), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceInterfaceNotifications, ADriversCallbackHearsTheChangesUntilItUnregistersAndMustUnregisterBeforeUnload)
{
    ktest::InProcessDriver driver(u"Watcher");
    driver.Driver()->DriverUnload = [](PDRIVER_OBJECT) {};
    GUID watched = WATCHED_CLASS;
    DriverSaw saw;
    PVOID entry = nullptr;
    ASSERT_EQ(Set(true), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                             PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES, &watched,
                                             driver.Driver(), RecordNotification, &saw, &entry),
              STATUS_SUCCESS);
    ASSERT_EQ(saw.events.size(), 1u) << "the existing interface, before the registration returned";
    ASSERT_EQ(Set(false), STATUS_SUCCESS);
    RunUntilIdle();
    ASSERT_EQ(saw.events.size(), 2u);
    EXPECT_FALSE(saw.wrongShape);
    // The driver is handed the name as registered, not folded.
    EXPECT_EQ(saw.events[0], std::make_pair(true, Text(&link)));
    EXPECT_EQ(saw.events[1], std::make_pair(false, Text(&link)));

    // A change queued before the unregistration is not delivered after it.
    ASSERT_EQ(Set(true), STATUS_SUCCESS);
    ASSERT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
    RunUntilIdle();
    EXPECT_EQ(saw.events.size(), 2u);
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::NotificationEntryUnknown, IoUnregisterPlugPlayNotificationEx(entry));

    // Registered again and never unregistered: its unload is a leak.
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &watched, driver.Driver(),
                                             RecordNotification, &saw, &entry),
              STATUS_SUCCESS);
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::NotificationLeakOnUnload, simk::UnloadDriver(driver.Driver()));
    // The leaked registration went with the driver: nothing calls into it any more.
    ASSERT_EQ(Set(false), STATUS_SUCCESS);
    RunUntilIdle();
    EXPECT_EQ(saw.events.size(), 2u);
}

} // namespace
