// What the client library and the Windows tool both need of Win32 around the devices they look at:
// wide text as UTF-8, and whether a SetupAPI device carries a hardware ID. Built into both from this
// one source, since the library exports only its C surface.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

namespace msdsc {

// UTF-8 of a terminated wide string; empty for an empty one.
std::string Utf8(const wchar_t* text);

// Whether `wanted` is among the device's hardware IDs, compared as Windows compares them (case
// folded); false when the device has none or they cannot be read.
bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device, const wchar_t* wanted);

}  // namespace msdsc
