// What tests can see of device security: the discretionary ACL a driver set on a device object.
#pragma once

#include <wdm.h>

#include <vector>

namespace simk::security {

enum class Trustee { Other, System, Administrators, Everyone, Users };

struct DeviceDacl {
    struct Entry {
        bool allowed = true; // an allow entry; false: a deny entry
        ACCESS_MASK mask = 0;
        Trustee trustee = Trustee::Other;
    };
    bool set = false;         // the driver set a DACL; otherwise the default applies
    bool present = false;     // false with set: a null DACL, which admits everyone
    bool isProtected = false; // not inherited from the parent directory
    std::vector<Entry> entries;
};

DeviceDacl DaclOf(PDEVICE_OBJECT device);

} // namespace simk::security
