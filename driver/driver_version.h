// The driver's version: the text built into it and its parsing into the DriverVersion the client
// is given. The driver entry refuses to load when the text does not parse.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"

constexpr char DRIVER_VERSION_STRING[] = "1.2.0.134";

// Parses DRIVER_VERSION_STRING into Version; false, with Version untouched, if it does not parse.
bool ParseDriverVersion(DriverVersion* Version);

// The rules behind ParseDriverVersion, for any text: exactly three dots, digits only, an empty
// component counts 0, each component keeps its low 16 bits; the last component goes first.
bool ParseDriverVersionText(const char* Text, DriverVersion* Version);
