// What an open of the control device must carry to become the session: every other open is refused
// by the I/O manager's access check or by the driver, and a refused open leaves the device free.
#include "support/client_session.h"

#include <string>

namespace {

using msdsc::testing::ClientTest;
using msdsc::testing::CONTROL_USER_PATH;
using simk::user::ActingAs;
using simk::user::Caller;
using simk::user::OpenRequest;

using ControlOpen = ClientTest;

constexpr ACCESS_MASK READ_WRITE = GENERIC_READ | GENERIC_WRITE;

struct Asked {
    const char* name;
    ACCESS_MASK access;
    ULONG extraOptions;
};

struct Expected {
    NTSTATUS status;
    ACCESS_MASK granted; // of the handle, when the open succeeds
};

// Opens, closes at once when it succeeded, and says what the handle was granted.
Expected TryOpen(const char16_t* path, const OpenRequest& request)
{
    simk::user::Handle handle = nullptr;
    Expected seen{simk::user::Open(path, request, &handle), 0};
    if (NT_SUCCESS(seen.status)) {
        seen.granted = simk::user::GrantedAccess(handle);
        EXPECT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
    }
    return seen;
}

// Who asks for what, and what comes of it: the access check refuses nothing asked for, and gives
// MAXIMUM_ALLOWED what the DACL allows; the driver refuses a handle without both read and write
// rights and an open for backup, which the privilege would otherwise let a backup operator make.
TEST_F(ControlOpen, CallerAndDesiredAccessDecideTheOpenAndTheHandlesRights)
{
    AddStartedBus();
    const Asked asked[] = {
        {"nothing", 0, 0},
        {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, 0},
        {"read", GENERIC_READ, 0},
        {"write", GENERIC_WRITE, 0},
        {"read and write", READ_WRITE, 0},
        {"read and write for backup", READ_WRITE, FILE_OPEN_FOR_BACKUP_INTENT},
    };
    const ACCESS_MASK readWrite = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    const Expected privileged[] = {
        {STATUS_ACCESS_DENIED, 0}, {STATUS_SUCCESS, FILE_ALL_ACCESS}, {STATUS_ACCESS_DENIED, 0},
        {STATUS_ACCESS_DENIED, 0}, {STATUS_SUCCESS, readWrite},       {STATUS_ACCESS_DENIED, 0},
    };
    const Expected refused[] = {
        {STATUS_ACCESS_DENIED, 0}, {STATUS_ACCESS_DENIED, 0}, {STATUS_ACCESS_DENIED, 0},
        {STATUS_ACCESS_DENIED, 0}, {STATUS_ACCESS_DENIED, 0}, {STATUS_ACCESS_DENIED, 0},
    };
    const struct {
        const char* name;
        Caller caller;
        const Expected* expected;
    } callers[] = {
        {"system", Caller::System, privileged},
        {"administrator", Caller::Administrator, privileged},
        {"plain user", Caller::User, refused},
        {"backup operator", Caller::BackupOperator, refused},
    };
    for (const auto& who : callers) {
        ActingAs acting(who.caller);
        for (size_t i = 0; i < std::size(asked); ++i) {
            SCOPED_TRACE(std::string(who.name) + " asking for " + asked[i].name);
            OpenRequest request;
            request.desiredAccess = asked[i].access;
            request.createOptions |= asked[i].extraOptions;
            const Expected seen = TryOpen(CONTROL_USER_PATH, request);
            EXPECT_EQ(seen.status, who.expected[i].status);
            EXPECT_EQ(seen.granted, who.expected[i].granted);
            EXPECT_FALSE(Control()->m_Opened);
        }
    }
}

// Each open below reached the session before; each is now refused with its own status, and the
// device is still free for a proper open afterwards.
TEST_F(ControlOpen, OpensThatAreNotAPlainReadWriteOpenOfTheDeviceAreRefused)
{
    AddStartedBus();
    const std::u16string trailing = std::u16string(u"\\Device\\MicroSDSmartCardControl") + u"\\anything";
    const unsigned char ea[] = {0, 0, 0, 0, 0, 1, 1, 0, 'x', 0, 'y'}; // one FILE_FULL_EA_INFORMATION

    struct Case {
        const char* name;
        std::u16string path;
        OpenRequest request;
        NTSTATUS status;
    };
    std::vector<Case> cases;
    {
        Case c{"a name after the device's", trailing, {}, STATUS_OBJECT_NAME_NOT_FOUND};
        cases.push_back(c);
        c = {"a name after the link's", std::u16string(CONTROL_USER_PATH) + u"\\x", {}, STATUS_OBJECT_NAME_NOT_FOUND};
        cases.push_back(c);
        c = {"an EA buffer", CONTROL_USER_PATH, {}, STATUS_EAS_NOT_SUPPORTED};
        c.request.eaBuffer = ea;
        c.request.eaLength = sizeof(ea);
        cases.push_back(c);
        for (ULONG disposition : {FILE_SUPERSEDE, FILE_CREATE, FILE_OPEN_IF, FILE_OVERWRITE, FILE_OVERWRITE_IF}) {
            c = {"a disposition other than open", CONTROL_USER_PATH, {}, STATUS_INVALID_PARAMETER};
            c.request.disposition = disposition;
            cases.push_back(c);
        }
        c = {"only SYNCHRONIZE and FILE_READ_ATTRIBUTES", CONTROL_USER_PATH, {}, STATUS_ACCESS_DENIED};
        c.request.desiredAccess = SYNCHRONIZE | FILE_READ_ATTRIBUTES;
        cases.push_back(c);
        c = {"read without write", CONTROL_USER_PATH, {}, STATUS_ACCESS_DENIED};
        c.request.desiredAccess = FILE_READ_DATA | SYNCHRONIZE;
        cases.push_back(c);
        c = {"backup intent", CONTROL_USER_PATH, {}, STATUS_ACCESS_DENIED};
        c.request.createOptions |= FILE_OPEN_FOR_BACKUP_INTENT;
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Expected seen = TryOpen(c.path.c_str(), c.request);
        EXPECT_EQ(seen.status, c.status);
        EXPECT_FALSE(Control()->m_Opened);
    }

    // A backup operator's privileges pass the access check, so only the driver stands in the way.
    {
        ActingAs backup(Caller::BackupOperator);
        OpenRequest request;
        request.createOptions |= FILE_OPEN_FOR_BACKUP_INTENT;
        EXPECT_EQ(TryOpen(CONTROL_USER_PATH, request).status, STATUS_ACCESS_DENIED);
        EXPECT_FALSE(Control()->m_Opened);
    }

    // A relative open through the session's own handle names something below the device, even
    // with an empty name: refused as such, before the exclusivity is looked at.
    simk::user::Handle session = Open();
    for (const char16_t* name : {u"", u"x"}) {
        OpenRequest request;
        request.related = session;
        SCOPED_TRACE(simk::Narrow(name));
        EXPECT_EQ(TryOpen(name, request).status, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    CloseClient();
    simk::user::Handle plain = nullptr;
    ASSERT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &plain), STATUS_SUCCESS);
    EXPECT_EQ(simk::user::Close(plain), STATUS_SUCCESS);
}

// Wine 8.0 passes no security context with the create, and no disposition: then the DACL alone
// decides, and an administrator's open for only SYNCHRONIZE is a session there. A name or backup
// intent is still refused.
TEST_F(ControlOpen, UnderWineTheDaclAloneDecidesTheAccess)
{
    AddStartedBus();
    OpenRequest request;
    request.asWine = true;
    request.desiredAccess = SYNCHRONIZE;
    {
        ActingAs user(Caller::User);
        EXPECT_EQ(TryOpen(CONTROL_USER_PATH, request).status, STATUS_ACCESS_DENIED);
    }
    EXPECT_EQ(TryOpen(CONTROL_USER_PATH, request).status, STATUS_SUCCESS);
    EXPECT_EQ(TryOpen((std::u16string(CONTROL_USER_PATH) + u"\\x").c_str(), request).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    request.createOptions |= FILE_OPEN_FOR_BACKUP_INTENT;
    EXPECT_EQ(TryOpen(CONTROL_USER_PATH, request).status, STATUS_ACCESS_DENIED);
}

} // namespace
