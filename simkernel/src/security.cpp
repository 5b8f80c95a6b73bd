// The security reference monitor as far as device objects need it: security identifiers, access
// control lists and descriptors built with the run-time library, a device's discretionary ACL set
// through a kernel handle, and the access check an open makes against the caller's identity.
#include <ntifs.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"
#include "simkernel/security.h"
#include "simkernel/user.h"

namespace simk::detail {
namespace {
namespace rules = simk::verifier::rules;

// Kernel handles of opened objects; apart from the registry's, which start lower.
constexpr ULONG_PTR OBJECT_HANDLE_BASE = 0xFFFFFFFF90000000ull;

using SidBytes = std::vector<unsigned char>;

struct Ace {
    UCHAR type;
    ACCESS_MASK mask;
    SidBytes sid;
};

struct Dacl {
    bool present = false; // false: a null DACL, which admits everyone
    bool isProtected = false;
    std::vector<Ace> aces;
};

struct ObjectHandle {
    PVOID object;
    ACCESS_MASK access;
};

struct SecurityState {
    std::mutex lock;
    std::map<const void*, Dacl> dacls; // devices whose driver set one
    std::map<ULONG_PTR, ObjectHandle> handles;
    ULONG_PTR nextHandle = 0;
};

SecurityState& State()
{
    static SecurityState* state = new SecurityState;
    return *state;
}

std::atomic<simk::user::Caller> g_Caller{simk::user::Caller::Administrator};

SidBytes MakeSid(UCHAR authority, std::initializer_list<ULONG> subAuthorities)
{
    SidBytes sid(8 + 4 * subAuthorities.size(), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<UCHAR>(subAuthorities.size());
    sid[7] = authority;
    size_t offset = 8;
    for (ULONG sub : subAuthorities) {
        std::memcpy(&sid[offset], &sub, 4);
        offset += 4;
    }
    return sid;
}

const SidBytes& WorldSid()
{
    static const SidBytes sid = MakeSid(1, {SECURITY_WORLD_RID});
    return sid;
}
const SidBytes& SystemSid()
{
    static const SidBytes sid = MakeSid(5, {SECURITY_LOCAL_SYSTEM_RID});
    return sid;
}
const SidBytes& AdministratorsSid()
{
    static const SidBytes sid = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    return sid;
}
const SidBytes& UsersSid()
{
    static const SidBytes sid = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
    return sid;
}

const SidBytes& BackupOperatorsSid()
{
    static const SidBytes sid = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_BACKUP_OPS});
    return sid;
}

// The enabled groups of each caller's token. An administrator's is the elevated one; a plain
// user's (like an administrator's filtered token) has no enabled Administrators group.
std::vector<SidBytes> TokenSids(simk::user::Caller caller)
{
    const SidBytes authenticated = MakeSid(5, {SECURITY_AUTHENTICATED_USER_RID});
    const SidBytes interactive = MakeSid(5, {SECURITY_INTERACTIVE_RID});
    switch (caller) {
    case simk::user::Caller::System:
        return {SystemSid(), AdministratorsSid(), WorldSid(), authenticated};
    case simk::user::Caller::Administrator:
        return {MakeSid(5, {SECURITY_NT_NON_UNIQUE, 1, 2, 3, 500}),
                AdministratorsSid(),
                UsersSid(),
                WorldSid(),
                authenticated,
                interactive};
    case simk::user::Caller::BackupOperator:
        return {MakeSid(5, {SECURITY_NT_NON_UNIQUE, 1, 2, 3, 1002}),
                BackupOperatorsSid(),
                UsersSid(),
                WorldSid(),
                authenticated,
                interactive};
    case simk::user::Caller::User:
        break;
    }
    return {MakeSid(5, {SECURITY_NT_NON_UNIQUE, 1, 2, 3, 1001}), UsersSid(), WorldSid(), authenticated, interactive};
}

// SeBackupPrivilege and SeRestorePrivilege: everyone but a plain user holds both.
bool HoldsBackupPrivileges(simk::user::Caller caller) { return caller != simk::user::Caller::User; }

// What IoCreateDevice gives a named device when its driver sets nothing: full access for the
// system and administrators, read, write and execute for everyone else.
const Dacl& DefaultDeviceDacl()
{
    static const Dacl dacl = [] {
        Dacl d;
        d.present = true;
        d.aces.push_back({ACCESS_ALLOWED_ACE_TYPE, GENERIC_ALL, SystemSid()});
        d.aces.push_back({ACCESS_ALLOWED_ACE_TYPE, GENERIC_ALL, AdministratorsSid()});
        d.aces.push_back({ACCESS_ALLOWED_ACE_TYPE, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, WorldSid()});
        return d;
    }();
    return dacl;
}

// The generic rights of a file or device object in its specific rights.
ACCESS_MASK MapGeneric(ACCESS_MASK mask)
{
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE)
        mapped |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL)
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

SidBytes SidOf(const void* sid)
{
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return SidBytes(bytes, bytes + 8 + 4 * bytes[1]);
}

bool ValidSid(const void* sid)
{
    if (!sid)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return bytes[0] == SID_REVISION && bytes[1] <= 15;
}

// The ACEs of a DACL the way SeAccessCheck walks them; false when the ACL is malformed.
bool ParseAcl(const ACL* acl, std::vector<Ace>* aces)
{
    if (acl->AclRevision != ACL_REVISION || acl->AclSize < sizeof(ACL))
        return false;
    const auto* base = reinterpret_cast<const unsigned char*>(acl);
    size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize)
            return false;
        const auto* header = reinterpret_cast<const ACE_HEADER*>(base + offset);
        if (header->AceSize < sizeof(ACE_HEADER) || offset + header->AceSize > acl->AclSize)
            return false;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
            if (!ValidSid(&ace->SidStart))
                return false;
            aces->push_back({header->AceType, ace->Mask, SidOf(&ace->SidStart)});
        }
        offset += header->AceSize;
    }
    return true;
}

ULONG AclUsed(const ACL* acl)
{
    const auto* base = reinterpret_cast<const unsigned char*>(acl);
    size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i)
        offset += reinterpret_cast<const ACE_HEADER*>(base + offset)->AceSize;
    return static_cast<ULONG>(offset);
}

} // namespace

bool CloseObjectHandle(HANDLE handle)
{
    PVOID object = nullptr;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto it = State().handles.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it == State().handles.end())
            return false;
        object = it->second.object;
        State().handles.erase(it);
    }
    ObfDereferenceObject(object);
    return true;
}

void ForgetObjectSecurity(const void* object)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().dacls.erase(object);
}

// The access check an open of a device makes, as SeAccessCheck (wdm.h) describes it and the
// "How AccessCheck Works" page walks it:
// - the ACEs are walked in order; the first that speaks about a right decides it;
// - nothing requested and nothing granted before is refused, not granted as "all of nothing";
// - MAXIMUM_ALLOWED grants every right the DACL allows the caller (with a NULL DACL, all of them),
//   plus whatever else was asked for explicitly, which must be allowed as well; it is refused
//   when that comes to nothing;
// - FILE_OPEN_FOR_BACKUP_INTENT (ZwCreateFile) grants, before the DACL is looked at, the read
//   rights of SeBackupPrivilege and the write rights of SeRestorePrivilege a holder asked for
//   (all of them with MAXIMUM_ALLOWED), and says so in the access state's flags.
AccessCheckResult CheckDeviceAccess(PDEVICE_OBJECT device, ACCESS_MASK desired, bool backupIntent)
{
    constexpr ACCESS_MASK BACKUP_RIGHTS = READ_CONTROL | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_READ | FILE_TRAVERSE;
    constexpr ACCESS_MASK RESTORE_RIGHTS = WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_WRITE |
                                           FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | DELETE;
    AccessCheckResult result;
    Dacl dacl;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto it = State().dacls.find(device);
        dacl = it != State().dacls.end() ? it->second : DefaultDeviceDacl();
    }
    const simk::user::Caller caller = g_Caller.load();
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    const ACCESS_MASK requested = MapGeneric(desired & ~MAXIMUM_ALLOWED);

    ACCESS_MASK previously = 0;
    if (backupIntent && HoldsBackupPrivileges(caller)) {
        previously |= maximum ? BACKUP_RIGHTS | RESTORE_RIGHTS : requested & (BACKUP_RIGHTS | RESTORE_RIGHTS);
        result.privilegeFlags = TOKEN_HAS_BACKUP_PRIVILEGE | TOKEN_HAS_RESTORE_PRIVILEGE;
    }
    ACCESS_MASK remaining = requested & ~previously;
    if (!maximum && remaining == 0) {
        if (previously == 0)
            return result;
        result.status = STATUS_SUCCESS;
        result.granted = previously;
        return result;
    }
    if (!dacl.present) {
        result.status = STATUS_SUCCESS;
        result.granted = requested | previously | (maximum ? FILE_ALL_ACCESS : 0);
        return result;
    }

    const std::vector<SidBytes> token = TokenSids(caller);
    auto inToken = [&](const SidBytes& sid) {
        for (const SidBytes& own : token)
            if (own == sid)
                return true;
        return false;
    };
    ACCESS_MASK allowed = 0;
    ACCESS_MASK denied = 0;
    for (const Ace& ace : dacl.aces) {
        if (!inToken(ace.sid))
            continue;
        const ACCESS_MASK mask = MapGeneric(ace.mask);
        if (ace.type == ACCESS_DENIED_ACE_TYPE) {
            if (!maximum && (mask & remaining))
                return result;
            denied |= mask & ~allowed;
        } else if (ace.type == ACCESS_ALLOWED_ACE_TYPE) {
            remaining &= ~mask;
            allowed |= mask & ~denied;
            if (!maximum && remaining == 0)
                break;
        }
    }
    if (maximum) {
        // What was asked for by name must be allowed too; what a deny took is not.
        if ((requested & ~previously & ~allowed) != 0)
            return result;
        result.granted = allowed | previously;
        if (result.granted == 0)
            return result;
        result.status = STATUS_SUCCESS;
        return result;
    }
    if (remaining != 0)
        return result;
    result.status = STATUS_SUCCESS;
    result.granted = requested | previously;
    return result;
}

void ResetSecurity()
{
    {
        // The I/O manager's reset frees the objects these handles referenced.
        std::lock_guard<std::mutex> guard(State().lock);
        State().dacls.clear();
        State().handles.clear();
        State().nextHandle = 0;
    }
    g_Caller = simk::user::Caller::Administrator;
}

} // namespace simk::detail

namespace simk::user {

void SetCaller(Caller caller) { simk::detail::g_Caller = caller; }
Caller CurrentCaller() { return simk::detail::g_Caller.load(); }

} // namespace simk::user

namespace simk::security {

DeviceDacl DaclOf(PDEVICE_OBJECT device)
{
    using namespace simk::detail;
    DeviceDacl result;
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().dacls.find(device);
    if (it == State().dacls.end())
        return result;
    result.set = true;
    result.present = it->second.present;
    result.isProtected = it->second.isProtected;
    for (const Ace& ace : it->second.aces) {
        DeviceDacl::Entry entry;
        entry.allowed = ace.type == ACCESS_ALLOWED_ACE_TYPE;
        entry.mask = ace.mask;
        if (ace.sid == SystemSid())
            entry.trustee = Trustee::System;
        else if (ace.sid == AdministratorsSid())
            entry.trustee = Trustee::Administrators;
        else if (ace.sid == WorldSid())
            entry.trustee = Trustee::Everyone;
        else if (ace.sid == UsersSid())
            entry.trustee = Trustee::Users;
        result.entries.push_back(entry);
    }
    return result;
}

} // namespace simk::security

using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                      BOOLEAN DaclDefaulted)
{
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    if (!DaclPresent) {
        sd->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    if (DaclDefaulted)
        sd->Control |= SE_DACL_DEFAULTED;
    else
        sd->Control &= ~SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    if (AclLength < sizeof(ACL))
        return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision != ACL_REVISION || AclLength > MAXUSHORT)
        return STATUS_INVALID_PARAMETER;
    // The size is rounded down to whole ULONGs, as Windows does.
    std::memset(Acl, 0, sizeof(ACL));
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->AclSize = static_cast<USHORT>(AclLength & ~3u);
    return STATUS_SUCCESS;
}

ULONG RtlLengthSid(PSID Sid) { return 8 + 4 * static_cast<const unsigned char*>(Sid)[1]; }

BOOLEAN RtlValidSid(PSID Sid) { return ValidSid(Sid) ? TRUE : FALSE; }

NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    if (!ValidSid(Sid))
        return STATUS_INVALID_SID;
    if (Acl->AclRevision != ACL_REVISION || AceRevision != ACL_REVISION)
        return STATUS_REVISION_MISMATCH;
    const ULONG sidLength = RtlLengthSid(Sid);
    const ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + sidLength;
    const ULONG used = AclUsed(Acl);
    if (used + aceSize > Acl->AclSize)
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(reinterpret_cast<unsigned char*>(Acl) + used);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = static_cast<USHORT>(aceSize);
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, sidLength);
    Acl->AceCount++;
    return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                               ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                               PHANDLE Handle)
{
    (void)PassedAccessState;
    (void)ObjectType;
    RequireIrql(PASSIVE_LEVEL, rules::IrqlZwPassive, "ObOpenObjectByPointer");
    *Handle = nullptr;
    NTSTATUS injected;
    if (ShouldFail(simk::Call::ObOpenObjectByPointer, &injected))
        return injected;
    // Only device objects are opened here; a kernel caller is granted what it asks for.
    if (!simk::IsDeviceObject(Object))
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (AccessMode != KernelMode)
        return STATUS_ACCESS_DENIED;
    // Without OBJ_KERNEL_HANDLE the handle lands in whatever process the thread runs in, where
    // that process's user can use it: Windows allows it, a driver must not do it.
    if (!(HandleAttributes & OBJ_KERNEL_HANDLE))
        rule::ObjectHandleNotKernel("ObOpenObjectByPointer");
    ObfReferenceObject(Object);
    std::lock_guard<std::mutex> guard(State().lock);
    State().nextHandle += 4;
    const ULONG_PTR value = OBJECT_HANDLE_BASE + State().nextHandle;
    State().handles[value] = ObjectHandle{Object, MapGeneric(DesiredAccess)};
    *Handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    RequireIrql(PASSIVE_LEVEL, rules::IrqlZwPassive, "ZwSetSecurityObject");
    NTSTATUS injected;
    if (ShouldFail(simk::Call::ZwSetSecurityObject, &injected))
        return injected;
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().handles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == State().handles.end())
        return STATUS_INVALID_HANDLE;
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    // Only the discretionary ACL is modelled; the owner, group and system ACL are not kept.
    if (!(SecurityInformation & DACL_SECURITY_INFORMATION))
        return STATUS_SUCCESS;
    if (!(it->second.access & WRITE_DAC))
        return STATUS_ACCESS_DENIED;
    Dacl dacl;
    if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl) {
        dacl.present = true;
        if (!ParseAcl(sd->Dacl, &dacl.aces))
            return STATUS_INVALID_ACL;
    }
    dacl.isProtected = (sd->Control & SE_DACL_PROTECTED) != 0;
    State().dacls[it->second.object] = std::move(dacl);
    return STATUS_SUCCESS;
}

} // extern "C"
