// Who may open the control device: the system and the Administrators group, with full access, and
// nobody else. Through it a caller creates kernel devices and chooses the values Plug and Play's
// function driver reads, so it is an administrator's tool. Built with calls every supported x64
// kernel exports; the effect is that of IoCreateDeviceSecure with "D:P(A;;GA;;;SY)(A;;GA;;;BA)".
#include <ntifs.h>
#include "control/control_device.h"

namespace {

// A SID with room for the two sub-authorities the well-known ones below need.
struct WellKnownSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[2];
};

// S-1-5-18 and S-1-5-32-544.
constexpr WellKnownSid LOCAL_SYSTEM_SID = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
constexpr WellKnownSid ADMINISTRATORS_SID = {
    SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

constexpr ULONG SidLength(const WellKnownSid& Sid)
{
    return FIELD_OFFSET(WellKnownSid, SubAuthority) + Sid.SubAuthorityCount * sizeof(ULONG);
}

constexpr ULONG AllowedAceLength(const WellKnownSid& Sid)
{
    return FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + SidLength(Sid);
}

constexpr ULONG CONTROL_DACL_LENGTH =
    sizeof(ACL) + AllowedAceLength(LOCAL_SYSTEM_SID) + AllowedAceLength(ADMINISTRATORS_SID);

NTSTATUS BuildControlDacl(PACL Dacl)
{
    NTSTATUS status = RtlCreateAcl(Dacl, CONTROL_DACL_LENGTH, ACL_REVISION);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The Rtl calls take non-const SIDs but only read them.
    status = RtlAddAccessAllowedAce(Dacl, ACL_REVISION, GENERIC_ALL, const_cast<WellKnownSid*>(&LOCAL_SYSTEM_SID));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RtlAddAccessAllowedAce(Dacl, ACL_REVISION, GENERIC_ALL, const_cast<WellKnownSid*>(&ADMINISTRATORS_SID));
}

} // namespace

NTSTATUS ProtectControlDevice(PDEVICE_OBJECT DeviceObject)
{
    // Small enough for the stack; ULONG-aligned as an ACL must be.
    ULONG daclMemory[(CONTROL_DACL_LENGTH + sizeof(ULONG) - 1) / sizeof(ULONG)];
    PACL dacl = reinterpret_cast<PACL>(daclMemory);
    NTSTATUS status = BuildControlDacl(dacl);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    SECURITY_DESCRIPTOR descriptor;
    status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, dacl, FALSE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Nothing of the \Device directory's entries is inherited ("D:P").
    descriptor.Control |= SE_DACL_PROTECTED;

    // ObSetSecurityObjectByPointer would do this in one call, but Wine 8 exports it only as a stub;
    // a kernel handle to the device and ZwSetSecurityObject work on every supported system.
    HANDLE handle = nullptr;
    status = ObOpenObjectByPointer(DeviceObject, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
    return status;
}
