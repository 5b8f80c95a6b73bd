// Device security: a DACL built with the run-time library and set through a kernel handle, and the
// access check of a user-mode open against the caller the test chooses.
#include <ntifs.h>

#include <vector>

#include "kernel_test_driver.h"
#include "simkernel/kernel.h"
#include "simkernel/security.h"
#include "simkernel/testing.h"
#include "simkernel/user.h"

namespace {

using simk::user::ActingAs;
using simk::user::Caller;

struct Sid2 {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[2];
};
Sid2 ADMINISTRATORS = {
    SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
Sid2 USERS = {SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}};

class DeviceSecurity : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver = std::make_unique<ktest::InProcessDriver>(u"SecurityTest");
        device = driver->CreateDevice(u"\\Device\\KSecure");
        driver->OnDispatch([](PDEVICE_OBJECT, PIRP irp) { return ktest::CompleteIrp(irp, STATUS_SUCCESS); });
    }

    // Sets the DACL as a driver does; `aces` null for a null DACL.
    NTSTATUS SetDacl(const std::vector<std::pair<Sid2*, ACCESS_MASK>>* aces)
    {
        alignas(8) unsigned char memory[256];
        PACL acl = reinterpret_cast<PACL>(memory);
        SECURITY_DESCRIPTOR sd;
        EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
        if (aces) {
            EXPECT_EQ(RtlCreateAcl(acl, sizeof(memory), ACL_REVISION), STATUS_SUCCESS);
            for (const auto& [sid, mask] : *aces)
                EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, mask, sid), STATUS_SUCCESS);
        }
        EXPECT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, aces ? acl : nullptr, FALSE), STATUS_SUCCESS);
        HANDLE handle = nullptr;
        NTSTATUS status =
            ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
        if (!NT_SUCCESS(status))
            return status;
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        return status;
    }

    NTSTATUS OpenAs(Caller caller, ULONG access = GENERIC_READ | GENERIC_WRITE)
    {
        ActingAs acting(caller);
        simk::user::Handle handle = nullptr;
        const NTSTATUS status = simk::user::OpenDevice(u"\\Device\\KSecure", &handle, access);
        if (NT_SUCCESS(status))
            EXPECT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
        return status;
    }

    std::unique_ptr<ktest::InProcessDriver> driver;
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(DeviceSecurity, DefaultSecurityOfANamedDeviceAdmitsEveryone)
{
    EXPECT_FALSE(simk::security::DaclOf(device).set);
    for (Caller caller : {Caller::User, Caller::Administrator, Caller::System})
        EXPECT_EQ(OpenAs(caller), STATUS_SUCCESS);
}

TEST_F(DeviceSecurity, TheDaclDecidesWhoOpensAndWithWhatAccess)
{
    const std::vector<std::pair<Sid2*, ACCESS_MASK>> adminsAll = {{&ADMINISTRATORS, GENERIC_ALL}};
    ASSERT_EQ(SetDacl(&adminsAll), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(Caller::User), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(Caller::User, SYNCHRONIZE), STATUS_ACCESS_DENIED) << "no right at all for a plain user";
    EXPECT_EQ(OpenAs(Caller::Administrator, FILE_ALL_ACCESS), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(Caller::System), STATUS_SUCCESS) << "the system's token holds Administrators";

    // Users may read only: a request for more is refused as a whole.
    const std::vector<std::pair<Sid2*, ACCESS_MASK>> usersRead = {{&USERS, GENERIC_READ}};
    ASSERT_EQ(SetDacl(&usersRead), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(Caller::User, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(Caller::User, GENERIC_READ | GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAs(Caller::System), STATUS_ACCESS_DENIED) << "the system is in no group this DACL names";

    // An empty DACL admits nobody; a null one everybody.
    const std::vector<std::pair<Sid2*, ACCESS_MASK>> none;
    ASSERT_EQ(SetDacl(&none), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(Caller::Administrator), STATUS_ACCESS_DENIED);
    ASSERT_EQ(SetDacl(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(OpenAs(Caller::User), STATUS_SUCCESS);
}

TEST_F(DeviceSecurity, RunTimeLibraryRefusesWhatWindowsRefuses)
{
    alignas(8) unsigned char memory[40];
    PACL acl = reinterpret_cast<PACL>(memory);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(memory), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &ADMINISTRATORS), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, &USERS), STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(ACL) - 1, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&sd, 2), STATUS_UNKNOWN_REVISION);
}

TEST_F(DeviceSecurity, AKernelHandleHoldsAReferenceUntilZwCloseAndMustBeAKernelHandle)
{
    const LONG_PTR before = simk::ObjectReferenceCount(device);
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(simk::ObjectReferenceCount(device), before + 1);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(simk::ObjectReferenceCount(device), before);

    // Opened for reading only: the DACL cannot be changed through it.
    ASSERT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, READ_CONTROL, nullptr, KernelMode, &handle),
              STATUS_SUCCESS);
    SECURITY_DESCRIPTOR sd;
    RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_EQ(ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    SIMK_EXPECT_VIOLATION(simk::verifier::rules::ObjectHandleNotKernel,
                          ObOpenObjectByPointer(device, 0, nullptr, WRITE_DAC, nullptr, KernelMode, &handle));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    {
        simk::ScopedIrql dispatch(DISPATCH_LEVEL);
        SIMK_EXPECT_VIOLATION(
            simk::verifier::rules::IrqlZwPassive,
            ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle));
    }
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

} // namespace
