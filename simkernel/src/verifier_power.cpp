// The verifier's rules on power requests and on a stack's power policy owner, each worded once:
// the power manager's watchdog, the device power request the owner must ask for, and what a
// driver may not do while it handles a set-power request.
#include <cstdio>

#include "simkernel/verifier.h"

#include "internal.h"

namespace simk::detail::rule {

using simk::verifier::Report;

namespace {

std::string SystemStateName(SYSTEM_POWER_STATE state)
{
    return state == PowerSystemWorking ? "S0" : "S" + std::to_string(static_cast<int>(state) - 1);
}

} // namespace

void SystemPowerIrpTimeout(const std::string& node, PDEVICE_OBJECT holder, UCHAR minor, SYSTEM_POWER_STATE state)
{
    Report(simk::verifier::rules::SystemPowerIrpTimeout,
           std::string(minor == IRP_MN_QUERY_POWER ? "system query-power" : "system set-power") + " to " +
               SystemStateName(state) + " sent to " + DescribeDevice(holder) + " in the stack of " + node +
               " was held past the power manager's timeout");
}

void PolicyOwnerAskedNoDevicePower(const std::string& node, PDEVICE_OBJECT owner, SYSTEM_POWER_STATE state)
{
    Report(state == PowerSystemWorking ? simk::verifier::rules::MarkDevicePower : simk::verifier::rules::MarkPowerDown,
           "the power policy owner " + DescribeDevice(owner) + " of " + node + " completed the system set-power to " +
               SystemStateName(state) + " without asking for a device set-power (PoRequestPowerIrp)");
}

void PowerDownAllocate(PDEVICE_OBJECT device, SIZE_T bytes, ULONG tag)
{
    char details[200];
    std::snprintf(details, sizeof(details), "%zu bytes (tag 0x%08X) allocated while ", static_cast<size_t>(bytes),
                  static_cast<unsigned>(tag));
    Report(simk::verifier::rules::PowerDownAllocate,
           details + DescribeDevice(device) + " handled a system set-power to a sleeping state");
}

void PowerIrpDDIs(const char* function)
{
    Report(simk::verifier::rules::PowerIrpDDIs,
           std::string(function) + ", callable only at PASSIVE_LEVEL, called while handling IRP_MN_SET_POWER");
}

} // namespace simk::detail::rule
