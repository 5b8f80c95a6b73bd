// Faults of the driver that the simulated kernel reports and that are still to be fixed in the
// driver itself. While a harness runs the driver, each is captured here instead of failing
// whatever test happens to run into it, so the tests of everything else keep their meaning. Each
// has a KnownFault_ test (tests/scenario/windows_pnp_test.cpp) that asserts it still occurs and
// fails once the driver is fixed: the sign to delete its entry here.
#pragma once

#include "simkernel/verifier.h"

namespace msdsc::testing {

class KnownDriverFaults {
public:
    KnownDriverFaults() : m_UnansweredStatus(simk::verifier::rules::PdoChangedUnansweredStatus) {}
    KnownDriverFaults(const KnownDriverFaults&) = delete;
    KnownDriverFaults& operator=(const KnownDriverFaults&) = delete;

private:
    // The reader completes IRP_MN_QUERY_PNP_DEVICE_STATE and WMI requests that nobody answered
    // with a refusal of its own, where a bus driver that does not handle a request leaves its
    // status as it came.
    simk::verifier::Expect m_UnansweredStatus;
};

} // namespace msdsc::testing
