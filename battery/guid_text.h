// "{8302BC97-D194-4D29-987D-D15715FF25CB}" to a GUID, for the battery's interface class, in both
// builds (the configuration manager's own parser is Windows-only).
#pragma once

#include <cstdio>

namespace msdsc::battery {

template <typename Guid>
bool ParseGuid(const char* text, Guid* guid)
{
    unsigned long data1 = 0;
    unsigned data2 = 0, data3 = 0, bytes[8] = {};
    char end = 0;
    if (std::sscanf(text, "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &data1, &data2, &data3, &bytes[0], &bytes[1],
                    &bytes[2], &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7], &end) != 12 ||
        end != '}' || text[38] != '\0')
        return false;
    guid->Data1 = static_cast<decltype(guid->Data1)>(data1);
    guid->Data2 = static_cast<decltype(guid->Data2)>(data2);
    guid->Data3 = static_cast<decltype(guid->Data3)>(data3);
    for (int i = 0; i < 8; ++i)
        guid->Data4[i] = static_cast<unsigned char>(bytes[i]);
    return true;
}

} // namespace msdsc::battery
