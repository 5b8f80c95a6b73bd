// The configuration manager: a device's hardware key through IoOpenDeviceRegistryKey, values written
// and read back with the Zw calls, handle rules, and injected failures.
#include "pnp_test_bus.h"

#include "simkernel/faults.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"

#include <cstring>

using namespace simk::pnp;
namespace registry = simk::registry;

namespace {

NTSTATUS NoDeviceAddDevice(DRIVER_OBJECT*, DEVICE_OBJECT*) { return STATUS_SUCCESS; }

NTSTATUS NoDeviceEntry(DRIVER_OBJECT* driver, UNICODE_STRING*)
{
    driver->DriverExtension->AddDevice = NoDeviceAddDevice;
    return STATUS_SUCCESS;
}

class Registry : public simk::testing::KernelTest
{
protected:
    // A root device whose driver adds nothing: its PDO alone is started and known to Plug and Play.
    void SetUp() override
    {
        KernelTest::SetUp();
        node = CreateRootDevice(simk::LoadDriverEntry(NoDeviceEntry, u"NoDevice").driverObject, u"Test\\Thing");
        ASSERT_EQ(State(node), NodeState::Started);
        pdo = Pdo(node);
        keyPath = HardwareKeyPath(node);
    }

    NTSTATUS SetDword(HANDLE key, const char16_t* name, ULONG value)
    {
        simk::OwnedUnicodeString n(name);
        return ZwSetValueKey(key, n, 0, REG_DWORD, &value, sizeof(value));
    }

    DeviceNode* node = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    std::u16string keyPath;
};

TEST_F(Registry, ValuesWrittenThroughTheDeviceKeyReadBackByPath)
{
    EXPECT_EQ(keyPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\Thing\\0000\\Device Parameters");
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key), STATUS_SUCCESS);
    EXPECT_EQ(registry::OpenHandleCount(), 1u);
    EXPECT_EQ(registry::HandleKeyPath(key), std::optional<std::u16string>(keyPath));

    EXPECT_EQ(SetDword(key, u"Number", 7), STATUS_SUCCESS);
    const unsigned char blob[3] = {1, 2, 3};
    simk::OwnedUnicodeString blobName(u"Blob");
    EXPECT_EQ(ZwSetValueKey(key, blobName, 0, REG_BINARY, const_cast<unsigned char*>(blob), 3), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Drive", 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"NUMBER", 9), STATUS_SUCCESS); // the same value: it keeps its place

    EXPECT_EQ(registry::ValueNames(keyPath), (std::vector<std::u16string>{u"Number", u"Blob", u"Drive"}));
    EXPECT_EQ(registry::QueryDword(keyPath, u"number"), std::optional<ULONG>(9));
    EXPECT_EQ(registry::QueryDword(keyPath, u"Drive"), std::optional<ULONG>(0xFFFFFFFF));
    EXPECT_EQ(registry::QueryDword(keyPath, u"Blob"), std::nullopt); // not a REG_DWORD
    EXPECT_EQ(registry::QueryDword(keyPath, u"Missing"), std::nullopt);
    // Paths compare without case, and a trailing separator changes nothing.
    auto blobValue = registry::QueryValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\ENUM\\root\\thing\\0000\\"
                                          u"device parameters\\",
                                          u"blob");
    ASSERT_TRUE(blobValue.has_value());
    EXPECT_EQ(blobValue->type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(blobValue->data, (std::vector<unsigned char>{1, 2, 3}));

    // Read back through the kernel call, with the buffer-size rules of the partial form.
    simk::OwnedUnicodeString number(u"Number");
    ULONG needed = 0;
    unsigned char buffer[64];
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    EXPECT_EQ(ZwQueryValueKey(key, number, KeyValuePartialInformation, buffer, header - 1, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, header + 4);
    EXPECT_EQ(ZwQueryValueKey(key, number, KeyValuePartialInformation, buffer, header + 3, &needed),
              STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(ZwQueryValueKey(key, number, KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(info->DataLength, 4u);
    ULONG read;
    std::memcpy(&read, info->Data, 4);
    EXPECT_EQ(read, 9u);
    simk::OwnedUnicodeString missing(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, missing, KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(registry::OpenHandleCount(), 0u);
    EXPECT_EQ(SetDword(key, u"Late", 1), STATUS_INVALID_HANDLE);
}

TEST_F(Registry, OnlyAKnownPdoHasADeviceKey)
{
    HANDLE key = nullptr;
    DEVICE_OBJECT* other = nullptr;
    ASSERT_EQ(IoCreateDevice(RootBusDriver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
    EXPECT_EQ(IoOpenDeviceRegistryKey(other, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(other);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, GENERIC_ALL, &key), STATUS_INVALID_PARAMETER);

    // Rights follow the request: a key opened for reading cannot be written.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Value", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(registry::QueryValue(keyPath, u"Value"), std::nullopt);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // Once removed, the device has no key to open, though the key itself stays.
    ASSERT_EQ(RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(registry::KeyExists(keyPath));
}

TEST_F(Registry, ClosingAHandleThatIsNotOpenIsCaught)
{
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    SIMK_EXPECT_VIOLATION("InvalidKernelHandle", EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE));
    SIMK_EXPECT_VIOLATION("InvalidKernelHandle", ZwClose(reinterpret_cast<HANDLE>(0x1234)));
}

TEST_F(Registry, KeyCallsAbovePassiveLevelAreCaught)
{
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key), STATUS_SUCCESS);
    {
        simk::ScopedIrql dispatch(DISPATCH_LEVEL);
        SIMK_EXPECT_VIOLATION(simk::verifier::rules::IrqlZwPassive, SetDword(key, u"Value", 1));
        HANDLE second = nullptr;
        SIMK_EXPECT_VIOLATION(simk::verifier::rules::IrqlIoPassive,
                              IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &second));
        if (second) {
            simk::verifier::Expect alsoHere(simk::verifier::rules::IrqlZwPassive);
            ZwClose(second);
        }
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(Registry, InjectedFailuresLeaveNothingBehind)
{
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key), STATUS_SUCCESS);
    simk::faults::FailNth(simk::Call::ZwSetValueKey, 2, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetDword(key, u"First", 1), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Second", 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetDword(key, u"Third", 3), STATUS_SUCCESS);
    EXPECT_TRUE(simk::faults::Fired(simk::Call::ZwSetValueKey));
    EXPECT_EQ(simk::faults::CallCount(simk::Call::ZwSetValueKey), 3u);
    EXPECT_EQ(registry::ValueNames(keyPath), (std::vector<std::u16string>{u"First", u"Third"}));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    simk::faults::FailAlways(simk::Call::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED);
    HANDLE failed = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &failed), STATUS_ACCESS_DENIED);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(registry::OpenHandleCount(), 0u);
    simk::faults::DisarmAll();
}

void NothingToUnload(DRIVER_OBJECT*) {}

// A driver that starts a device and keeps its key open is charged with the handle at its unload.
TEST_F(Registry, HandlesLeftOpenByADriverAreReportedAtItsUnload)
{
    pnptest::TestBus bus;
    DeviceNode* busNode = CreateRootDevice(bus.Driver(), u"TestBus\\Bus");
    pnptest::ChildShape shape;
    shape.writeOnStart = 0x1234;
    shape.leakKeyOnStart = true;
    pnptest::Child* child = bus.Plug(shape);
    bus.Invalidate();
    RunUntilIdle();
    DeviceNode* childNode = FindNodeByPdo(child->pdo);
    ASSERT_NE(childNode, nullptr);
    EXPECT_EQ(registry::QueryDword(HardwareKeyPath(childNode), u"Value"), std::optional<ULONG>(0x1234));
    EXPECT_EQ(registry::OpenHandleCount(bus.Driver()), 1u);
    EXPECT_EQ(registry::OpenHandleCount(nullptr), 0u);

    ASSERT_EQ(RemoveDevice(busNode), STATUS_SUCCESS);
    bus.Driver()->DriverUnload = NothingToUnload;
    {
        simk::verifier::Expect leak("HandleLeak");
        EXPECT_EQ(simk::UnloadDriver(bus.Driver()), STATUS_SUCCESS);
        ASSERT_EQ(leak.Count(), 1u);
        EXPECT_NE(leak.Captured()[0].details.find("Device Parameters"), std::string::npos);
    }
    EXPECT_EQ(registry::OpenHandleCount(), 0u); // the leaked handle is closed by the check
}

} // namespace
