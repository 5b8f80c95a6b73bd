// The object manager's namespace: named device objects, driver objects and symbolic links in one
// case-insensitive directory tree, with "\DosDevices" and "\GLOBAL??" as aliases of "\??".
#include <map>
#include <mutex>

#include "internal.h"

namespace simk::detail {
namespace {

struct NamespaceState {
    std::mutex lock;
    std::map<std::u16string, NameEntry> names; // key: upcased normalised name
};

NamespaceState& State()
{
    static NamespaceState* state = new NamespaceState;
    return *state;
}

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix)
{
    if (text.size() < prefix.size())
        return false;
    return UpcaseName(text.substr(0, prefix.size())) == UpcaseName(prefix);
}

// Directories that exist in the namespace; objects are created only directly inside them.
bool DirectoryExists(const std::u16string& upcased)
{
    static const char16_t* const directories[] = {u"",
                                                  u"\\DEVICE",
                                                  u"\\??",
                                                  u"\\DRIVER",
                                                  u"\\FILESYSTEM",
                                                  u"\\CALLBACK",
                                                  u"\\KERNELOBJECTS",
                                                  u"\\BASENAMEDOBJECTS"};
    for (const char16_t* d : directories) {
        if (upcased == d)
            return true;
    }
    return false;
}

} // namespace

std::u16string UpcaseName(const std::u16string& name)
{
    std::u16string up(name);
    for (auto& c : up)
        c = (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    return up;
}

std::u16string NormalizeObjectName(const std::u16string& name)
{
    // "\??\Global" is the link from a session's DosDevices to the global ones, which are the only
    // ones modelled.
    static const char16_t* const aliases[] = {u"\\??\\Global\\", u"\\DosDevices\\Global\\", u"\\DosDevices\\",
                                              u"\\GLOBAL??\\"};
    for (const char16_t* alias : aliases) {
        std::u16string a(alias);
        if (StartsWithNoCase(name, a))
            return u"\\??\\" + name.substr(a.size());
    }
    return name;
}

NTSTATUS ValidateObjectName(const std::u16string& normalized)
{
    if (normalized.empty() || normalized[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    size_t slash = normalized.rfind(u'\\');
    if (slash + 1 == normalized.size())
        return STATUS_OBJECT_NAME_INVALID;
    if (!DirectoryExists(UpcaseName(normalized.substr(0, slash))))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_SUCCESS;
}

bool InsertName(const NameEntry& entry)
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().names.emplace(UpcaseName(entry.name), entry).second;
}

bool LookupName(const std::u16string& normalized, NameEntry* entry)
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().names.find(UpcaseName(normalized));
    if (it == State().names.end())
        return false;
    if (entry)
        *entry = it->second;
    return true;
}

bool RemoveName(const std::u16string& normalized, NameKind kind)
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().names.find(UpcaseName(normalized));
    if (it == State().names.end() || it->second.kind != kind)
        return false;
    State().names.erase(it);
    return true;
}

std::vector<NameEntry> NamesCreatedBy(PDRIVER_OBJECT driver, NameKind kind)
{
    std::vector<NameEntry> result;
    std::lock_guard<std::mutex> guard(State().lock);
    for (const auto& [key, entry] : State().names) {
        if (entry.kind == kind && entry.creator == driver)
            result.push_back(entry);
    }
    return result;
}

std::vector<NameEntry> AllNames(NameKind kind)
{
    std::vector<NameEntry> result;
    std::lock_guard<std::mutex> guard(State().lock);
    for (const auto& [key, entry] : State().names) {
        if (entry.kind == kind)
            result.push_back(entry);
    }
    return result;
}

void ResetNames()
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().names.clear();
}

} // namespace simk::detail

namespace simk {
using namespace simk::detail;

PDEVICE_OBJECT FindDevice(std::u16string_view name)
{
    NameEntry entry;
    if (!LookupName(NormalizeObjectName(std::u16string(name)), &entry) || entry.kind != NameKind::Device) {
        return nullptr;
    }
    return static_cast<PDEVICE_OBJECT>(entry.object);
}

bool SymbolicLinkExists(std::u16string_view linkName)
{
    NameEntry entry;
    return LookupName(NormalizeObjectName(std::u16string(linkName)), &entry) && entry.kind == NameKind::SymbolicLink;
}

std::u16string SymbolicLinkTarget(std::u16string_view linkName)
{
    NameEntry entry;
    if (!LookupName(NormalizeObjectName(std::u16string(linkName)), &entry) || entry.kind != NameKind::SymbolicLink) {
        return {};
    }
    return entry.target;
}

std::vector<std::u16string> SymbolicLinks()
{
    std::vector<std::u16string> result;
    for (const auto& entry : AllNames(NameKind::SymbolicLink))
        result.push_back(entry.name);
    return result;
}

} // namespace simk

using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoCreateSymbolicLink");
    NTSTATUS status;
    if (ShouldFail(simk::Call::IoCreateSymbolicLink, &status))
        return status;
    if (!SymbolicLinkName || !DeviceName)
        return STATUS_INVALID_PARAMETER;
    std::u16string link = NormalizeObjectName(FromUnicodeString(SymbolicLinkName));
    status = ValidateObjectName(link);
    if (!NT_SUCCESS(status))
        return status;
    NameEntry entry;
    entry.kind = NameKind::SymbolicLink;
    entry.name = link;
    entry.target = FromUnicodeString(DeviceName);
    entry.creator = CurrentDriver();
    if (!InsertName(entry))
        return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoDeleteSymbolicLink");
    if (!SymbolicLinkName)
        return STATUS_INVALID_PARAMETER;
    std::u16string link = NormalizeObjectName(FromUnicodeString(SymbolicLinkName));
    if (!RemoveName(link, NameKind::SymbolicLink))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

} // extern "C"
