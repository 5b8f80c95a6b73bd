// How a bus driver's PDO answers what it is sent, for the bus drivers the simulated kernel brings:
// the root enumerator's and the tests' own. Completion, replies handed over in pool through
// IoStatus.Information (the Plug and Play manager frees them once read), and power for a PDO with no
// hardware behind it.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace simk::pdo {

NTSTATUS Complete(IRP* irp, NTSTATUS status);
// A request the bus driver does not handle: its status stays as it came.
NTSTATUS CompleteAsItCame(IRP* irp);
// Completes with STATUS_SUCCESS and a copy of `data` in paged pool tagged `tag` as Information.
NTSTATUS Reply(IRP* irp, const void* data, size_t size, ULONG tag);
// Each string NUL-terminated; `multi` closes the list with one more NUL, as a REG_MULTI_SZ.
NTSTATUS ReplyStrings(IRP* irp, const std::vector<std::u16string>& strings, bool multi, ULONG tag);
// IRP_MN_QUERY_DEVICE_RELATIONS for TargetDeviceRelation: the PDO alone, with a reference for the
// caller.
NTSTATUS ReplyTargetRelation(IRP* irp, DEVICE_OBJECT* pdo, ULONG tag);
// IRP_MJ_POWER: the next power IRP may start; a set-power is recorded with PoSetPowerState and
// succeeds, a query-power is answered with `queryStatus`, anything else completes as it came.
NTSTATUS AnswerPower(DEVICE_OBJECT* pdo, IRP* irp, NTSTATUS queryStatus = STATUS_SUCCESS);

} // namespace simk::pdo
