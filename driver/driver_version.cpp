// The parsing of the driver's version text.
#include <ntddk.h>
#include "driver/driver_version.h"

bool ParseDriverVersionText(const char* Text, DriverVersion* Version)
{
    if (Text[0] == '\0') {
        return false;
    }
    ULONG separators = 0;
    for (const char* c = Text; *c != '\0'; ++c) {
        if (*c == '.') {
            ++separators;
        } else if (*c < '0' || *c > '9') {
            return false;
        }
    }
    if (separators != 3) {
        return false;
    }

    // Validation is over: from here on the output is written.
    USHORT components[4] = {0, 0, 0, 0};
    ULONG index = 0;
    for (const char* c = Text; *c != '\0'; ++c) {
        if (*c == '.') {
            ++index;
        } else {
            components[index] = static_cast<USHORT>(components[index] * 10 + (*c - '0'));
        }
    }
    for (ULONG i = 0; i < 4; ++i) {
        Version->Elements[3 - i] = components[i];
    }
    return true;
}

bool ParseDriverVersion(DriverVersion* Version) { return ParseDriverVersionText(DRIVER_VERSION_STRING, Version); }
