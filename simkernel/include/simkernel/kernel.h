// Test-facing control of the simulated kernel: a fresh kernel per test, the system version, IRQL
// scopes, views of the object namespace and of device objects, and UTF-16 string helpers.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

namespace simk {

// Clears every manager (I/O, objects, pool, locks, verifier state, fault injection, Plug and Play,
// power, registry), unloads every driver image and frees everything the kernel still holds.
void ResetKernel();

// RAII form: a fresh kernel on construction and again on destruction.
class Kernel
{
public:
    Kernel() { ResetKernel(); }
    ~Kernel() { ResetKernel(); }
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
};

// What RtlGetVersion reports (default 10.0.19045, restored by ResetKernel).
void SetOsVersion(ULONG major, ULONG minor, ULONG build = 0);

// Runs the calling thread at `irql` for the scope's lifetime (through KfRaiseIrql / KeLowerIrql,
// so the verifier's IRQL rules apply).
class ScopedIrql
{
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL m_Old;
    bool m_Raised;
};

// ---- Object namespace -------------------------------------------------------------------------
// Names are compared case-insensitively; "\DosDevices\X" and "\GLOBAL??\X" are "\??\X".
PDEVICE_OBJECT FindDevice(std::u16string_view name); // a named, not deleted device object
bool SymbolicLinkExists(std::u16string_view linkName);
std::u16string SymbolicLinkTarget(std::u16string_view linkName); // empty when there is no such link
std::vector<std::u16string> SymbolicLinks();                     // normalised names of every link

// ---- Device objects ---------------------------------------------------------------------------
bool IsDeviceObject(const void* object);          // created by IoCreateDevice and not yet freed
bool IsDeviceDeleted(PDEVICE_OBJECT device);      // IoDeleteDevice has been called (memory may remain)
std::u16string DeviceName(PDEVICE_OBJECT device); // empty for an unnamed device
// References taken on an object with ObReferenceObject (and by opens of a device), not counting the
// reference a device object holds on itself until IoDeleteDevice; -1 for an unknown object.
LONG_PTR ObjectReferenceCount(const void* object);
std::vector<PDEVICE_OBJECT> DevicesOfDriver(PDRIVER_OBJECT driver); // not yet deleted, list order
size_t LiveDeviceCount(); // device objects whose memory still exists (deleted or not)

// ---- Threads ----------------------------------------------------------------------------------
KIRQL CurrentIrql();
ULONG CriticalRegionDepth(); // KeEnterCriticalRegion nesting of the calling thread

// ---- Strings (WCHAR is 16 bits; never hand WCHAR strings to the C++ library's wide functions) ---
inline const WCHAR* W(const char16_t* s) { return reinterpret_cast<const WCHAR*>(s); }
inline const char16_t* U16(const WCHAR* s) { return reinterpret_cast<const char16_t*>(s); }
std::u16string ToU16(const UNICODE_STRING& s);
std::u16string ToU16(const UNICODE_STRING* s); // empty for null
std::u16string Widen(std::string_view utf8);
std::string Narrow(std::u16string_view utf16); // UTF-8, for messages
// A UNICODE_STRING that owns its buffer (NUL-terminated), for handing names to kernel routines.
class OwnedUnicodeString
{
public:
    explicit OwnedUnicodeString(std::u16string text);
    OwnedUnicodeString(const OwnedUnicodeString& other) : OwnedUnicodeString(other.m_Text) {}
    OwnedUnicodeString& operator=(const OwnedUnicodeString&) = delete;
    PUNICODE_STRING get() { return &m_String; }
    operator PUNICODE_STRING() { return &m_String; }
    const std::u16string& text() const { return m_Text; }

private:
    std::u16string m_Text;
    UNICODE_STRING m_String;
};

// A four-character pool tag given in memory order ("ansl" -> 'lsna').
constexpr ULONG Tag(const char (&text)[5])
{
    return (ULONG)(UCHAR)text[0] | ((ULONG)(UCHAR)text[1] << 8) | ((ULONG)(UCHAR)text[2] << 16) |
           ((ULONG)(UCHAR)text[3] << 24);
}
std::string TagText(ULONG tag); // 'lsna' -> "ansl"

} // namespace simk
