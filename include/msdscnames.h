/* The system's own texts that the bus driver, the sample reader driver, the client library and the
 * tools share, each spelled here once. Plain preprocessor text with no other header needed, so that
 * kernel code takes it as WCHAR (MSDSC_WIDE), Windows user mode as wchar_t, the host build as
 * char16_t (MSDSC_UTF16) and narrow-text code as it stands. */
#pragma once

#define MSDSC_PASTE_(prefix, text) prefix##text
#define MSDSC_WIDE(text) MSDSC_PASTE_(L, text)
#define MSDSC_UTF16(text) MSDSC_PASTE_(u, text)

/* The root-enumerated bus device the bus driver's INF installs. */
#define MSDSC_BUS_HARDWARE_ID "Root\\MicroSDSmartCardBus"

/* The enumerator of the readers' device nodes, and the one device and hardware ID of every reader:
 * the ID a reader function driver's INF names. */
#define MSDSC_READER_ENUMERATOR "MicroSDSmartCardBus"
#define MSDSC_READER_HARDWARE_ID "MicroSDSmartCardBus\\MicroSDSmartCardReader"

/* The REG_DWORD values a started reader leaves in its hardware key, written in this order;
 * "Exists" last, so a function driver that finds it 1 knows the three before it are this reader's. */
#define MSDSC_VALUE_NUMBER "Number"
#define MSDSC_VALUE_DRIVE "Drive"
#define MSDSC_VALUE_LOG "Log"
#define MSDSC_VALUE_EXISTS "Exists"

/* The control device, by its kernel name, its link, and the path user mode opens. */
#define MSDSC_CONTROL_DEVICE_NAME "\\Device\\MicroSDSmartCardControl"
#define MSDSC_CONTROL_LINK_NAME "\\DosDevices\\MicroSDSmartCardControl"
#define MSDSC_CONTROL_USER_PATH "\\\\.\\MicroSDSmartCardControl"
/* The same through the global names, which a per-session DosDevices entry cannot shadow. */
#define MSDSC_CONTROL_GLOBAL_PATH "\\\\.\\Global\\MicroSDSmartCardControl"

/* The device interface of the sample reader driver, through which a client reads what it found in
 * its reader's hardware key. A GUID of its own: the sample is no smart-card reader driver, and a
 * resource manager that found the smart-card reader interface would talk to it as one. */
#define MSDSC_SAMPLE_INTERFACE_GUID_TEXT "{8302BC97-D194-4D29-987D-D15715FF25CB}"
#define MSDSC_SAMPLE_INTERFACE_GUID_INITIALIZER                                        \
    {                                                                                  \
        0x8302BC97, 0xD194, 0x4D29, { 0x98, 0x7D, 0xD1, 0x57, 0x15, 0xFF, 0x25, 0xCB } \
    }
