// A bus driver's PDO answers: the part the root enumerator and the tests' bus drivers share.
#include "simkernel/bus_pdo.h"

#include <cstring>

namespace simk::pdo {

NTSTATUS Complete(IRP* irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteAsItCame(IRP* irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Reply(IRP* irp, const void* data, size_t size, ULONG tag)
{
    void* block = ExAllocatePoolWithTag(PagedPool, size, tag);
    if (!block)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    std::memcpy(block, data, size);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(block);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS ReplyStrings(IRP* irp, const std::vector<std::u16string>& strings, bool multi, ULONG tag)
{
    std::u16string all;
    for (const auto& s : strings) {
        all += s;
        all.push_back(u'\0');
    }
    if (multi)
        all.push_back(u'\0');
    return Reply(irp, all.data(), all.size() * sizeof(char16_t), tag);
}

NTSTATUS ReplyTargetRelation(IRP* irp, DEVICE_OBJECT* pdo, ULONG tag)
{
    auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), tag));
    if (!relations)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 1;
    relations->Objects[0] = pdo;
    ObReferenceObject(pdo);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AnswerPower(DEVICE_OBJECT* pdo, IRP* irp, NTSTATUS queryStatus)
{
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (sl->MinorFunction == IRP_MN_SET_POWER) {
        if (sl->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, sl->Parameters.Power.State);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (sl->MinorFunction == IRP_MN_QUERY_POWER)
        return Complete(irp, queryStatus);
    return CompleteAsItCame(irp);
}

} // namespace simk::pdo
