// The run-time library: version information, counted UTF-16 strings and integer conversion, debug
// output, and the UTF-16 helpers the kernel and the tests use instead of the C++ wide functions.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "simkernel/debug.h"

#include "internal.h"

namespace simk {
namespace {

struct Version {
    ULONG major = 10, minor = 0, build = 19045;
};
std::mutex g_VersionLock;
Version g_Version;

size_t Wcslen(const WCHAR* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

} // namespace

void SetOsVersion(ULONG major, ULONG minor, ULONG build)
{
    std::lock_guard<std::mutex> guard(g_VersionLock);
    g_Version = Version{major, minor, build};
}

std::u16string ToU16(const UNICODE_STRING& s)
{
    if (!s.Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

std::u16string ToU16(const UNICODE_STRING* s) { return s ? ToU16(*s) : std::u16string(); }

std::u16string Widen(std::string_view utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = (unsigned char)utf8[i];
        char32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            len = 3;
        } else {
            cp = c & 0x07;
            len = 4;
        }
        for (size_t k = 1; k < len && i + k < utf8.size(); ++k)
            cp = (cp << 6) | ((unsigned char)utf8[i + k] & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((char16_t)cp);
        }
    }
    return out;
}

std::string Narrow(std::u16string_view utf16)
{
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

OwnedUnicodeString::OwnedUnicodeString(std::u16string text) : m_Text(std::move(text))
{
    m_String.Buffer = reinterpret_cast<PWSTR>(m_Text.data());
    m_String.Length = (USHORT)(m_Text.size() * sizeof(WCHAR));
    m_String.MaximumLength = (USHORT)(m_String.Length + sizeof(WCHAR));
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        text.push_back(c >= 0x20 && c < 0x7F ? (char)c : '?');
    }
    return text;
}

namespace detail {

std::u16string FromUnicodeString(PCUNICODE_STRING s) { return simk::ToU16(s); }

std::string Hex(unsigned long long value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llX", value);
    return buffer;
}

std::string StatusText(NTSTATUS status)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", (unsigned)status);
    return buffer;
}

namespace {

struct DebugState {
    std::mutex lock;
    std::vector<simk::debug::Message> messages;
    std::map<ULONG, ULONG> masks;
};

DebugState& Debug()
{
    static DebugState* state = new DebugState;
    return *state;
}

} // namespace

void ResetRtl()
{
    SetOsVersion(10, 0, 19045);
    std::lock_guard<std::mutex> guard(Debug().lock);
    Debug().messages.clear();
    Debug().masks.clear();
}

} // namespace detail
} // namespace simk

extern "C" {

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    simk::Version version;
    {
        std::lock_guard<std::mutex> guard(simk::g_VersionLock);
        version = simk::g_Version;
    }
    lpVersionInformation->dwMajorVersion = version.major;
    lpVersionInformation->dwMinorVersion = version.minor;
    lpVersionInformation->dwBuildNumber = version.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    lpVersionInformation->szCSDVersion[0] = 0;
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    // A counted string's lengths are 16-bit byte counts; longer sources are cut as the kernel cuts them.
    size_t bytes = simk::Wcslen(SourceString) * sizeof(WCHAR);
    const size_t limit = (MAXUSHORT & ~1u) - sizeof(WCHAR);
    if (bytes > limit)
        bytes = limit;
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = (char)(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    // As the kernel does (through RtlAnsiStringToUnicodeString), Length is set before the room for
    // the digits and the terminator is checked, so it holds the needed length even on overflow.
    // (The kernel's test is Length >= MaximumLength; for the odd maximum lengths where that would
    // let the terminator run one byte past the buffer, this one reports the overflow instead.)
    String->Length = (USHORT)(n * sizeof(WCHAR));
    if ((ULONG)String->MaximumLength < (ULONG)String->Length + sizeof(WCHAR))
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = (WCHAR)digits[n - 1 - i];
    String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    const WCHAR* p = String->Buffer;
    size_t left = String->Length / sizeof(WCHAR);
    while (left && (*p == L' ' || *p == L'\t'))
        ++p, --left;
    bool negative = false;
    if (left && (*p == L'-' || *p == L'+')) {
        negative = *p == L'-';
        ++p, --left;
    }
    if (Base == 0) {
        Base = 10;
        if (left >= 2 && p[0] == L'0') {
            if (p[1] == L'x')
                Base = 16;
            else if (p[1] == L'o')
                Base = 8;
            else if (p[1] == L'b')
                Base = 2;
            if (Base != 10)
                p += 2, left -= 2;
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Value)
        return STATUS_ACCESS_VIOLATION;
    ULONG result = 0;
    for (; left; ++p, --left) {
        WCHAR c = *p;
        ULONG digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'a' && c <= L'z')
            digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'Z')
            digit = c - L'A' + 10;
        else
            break;
        if (digit >= Base)
            break;
        result = result * Base + digit;
    }
    *Value = negative ? (ULONG)(0u - result) : result;
    return STATUS_SUCCESS;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    if (c >= L'a' && c <= L'z')
        return (WCHAR)(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return (WCHAR)(c - 0x20);
    if (c == 0xFF)
        return (WCHAR)0x178;
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return (LONG)a - (LONG)b;
    }
    return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    memcpy(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    char text[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text, sizeof(text), Format, args);
    va_end(args);
    // A level up to 31 is a level number; a larger value is a mask of levels. Errors are always
    // shown, the rest only where the component's filter mask asks for them.
    const ULONG levelMask = Level <= 31 ? 1u << Level : Level;
    std::lock_guard<std::mutex> guard(simk::detail::Debug().lock);
    auto mask = simk::detail::Debug().masks.find(ComponentId);
    const ULONG filter = DPFLTR_MASK_ERROR | (mask == simk::detail::Debug().masks.end() ? 0 : mask->second);
    const bool shown = (levelMask & filter) != 0;
    simk::detail::Debug().messages.push_back({ComponentId, Level, text, shown});
    if (shown && std::getenv("SIMK_DBGPRINT"))
        std::fputs(text, stderr);
    return STATUS_SUCCESS;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    if (!std::getenv("SIMK_DBGPRINT"))
        return STATUS_SUCCESS;
    va_list args;
    va_start(args, Format);
    std::vfprintf(stderr, Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

} // extern "C"

namespace simk::debug {

std::vector<Message> Messages()
{
    std::lock_guard<std::mutex> guard(simk::detail::Debug().lock);
    return simk::detail::Debug().messages;
}

void SetComponentMask(ULONG component, ULONG mask)
{
    std::lock_guard<std::mutex> guard(simk::detail::Debug().lock);
    simk::detail::Debug().masks[component] = mask;
}

} // namespace simk::debug
