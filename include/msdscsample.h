// The one request the sample reader driver answers on its device interface
// (MSDSC_SAMPLE_INTERFACE_GUID_TEXT in msdscnames.h): what it read from its reader's hardware key
// when it started, and its own version. Include it after msdscbus.h.
#pragma once

#ifndef IOCTL_BUS_GET_VERSION
#error "msdscsample.h needs msdscbus.h first"
#endif

// Read access only: the reply tells nothing the hardware key does not, and a reader's
// configuration is changed through the bus driver alone.
#define IOCTL_SAMPLE_GET_CONFIGURATION CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_READ_ACCESS)

// The four values exactly as the sample read them at its start, then its version in the bus
// driver's layout (last component first).
struct SampleConfiguration {
    ULONG Number;
    ULONG Drive;
    ULONG Log;
    ULONG Exists;
    DriverVersion SampleVersion;
};

static_assert(sizeof(SampleConfiguration) == 24, "SampleConfiguration is 24 bytes on the wire");
static_assert(IOCTL_SAMPLE_GET_CONFIGURATION == 0x226400, "control code of the sample's configuration request");
