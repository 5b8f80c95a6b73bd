// The I/O manager's side of user-mode handles: the path an open names, resolved through symbolic
// links to a device; the checks that admit the open and count it on the device; file objects, whose
// last reference sends IRP_MJ_CLOSE and releases the open's hold. The handles themselves, and the
// requests sent through them, are user.cpp's.
#include <cstdlib>
#include <cstring>

#include "io_state.h"
#include "pnp_internal.h"

namespace simk::detail {

NTSTATUS ResolveDevicePath(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remaining)
{
    std::u16string name = path;
    if (name.rfind(u"\\\\.\\", 0) == 0 || name.rfind(u"\\\\?\\", 0) == 0)
        name = u"\\??\\" + name.substr(4);
    if (remaining)
        remaining->clear();
    for (int hops = 0; hops < 32; ++hops) {
        name = NormalizeObjectName(name);
        if (name.empty() || name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        // As the object manager parses: the longest leading part that names an object decides, and
        // what follows it is handed on (reparsed after a link, or to the device as its file name).
        NameEntry entry;
        size_t end = name.size();
        bool found = false;
        while (end > 0) {
            if (LookupName(name.substr(0, end), &entry)) {
                found = true;
                break;
            }
            end = name.rfind(u'\\', end - 1);
            if (end == std::u16string::npos || end == 0)
                break;
        }
        if (!found) {
            NTSTATUS status = ValidateObjectName(name);
            return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
        }
        const std::u16string rest = name.substr(end);
        if (entry.kind == NameKind::SymbolicLink) {
            name = entry.target + rest;
            continue;
        }
        if (entry.kind != NameKind::Device)
            return STATUS_OBJECT_TYPE_MISMATCH;
        // Without a caller that takes a file name, a name below a device does not exist.
        if (!rest.empty() && !remaining)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        if (remaining)
            *remaining = rest;
        *device = static_cast<PDEVICE_OBJECT>(entry.object);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// An open of a device that is deleted but still referenced is refused, and the device goes when
// its last reference does ("IoDeleteDevice function": with references outstanding the I/O manager
// marks the device object "delete pending" and deletes it when they are released).
NTSTATUS ReferenceDeviceForOpen(PDEVICE_OBJECT device)
{
    Guard guard(State().lock);
    DeviceRec* rec = LiveDevice(device);
    if (!rec || rec->deleted)
        return STATUS_NO_SUCH_DEVICE;
    const ULONG gone = DOE_UNLOAD_PENDING | DOE_DELETE_PENDING | DOE_REMOVE_PENDING | DOE_REMOVE_PROCESSED;
    if ((device->DeviceObjectExtension->ExtensionFlags & gone) || (device->Flags & DO_DEVICE_INITIALIZING)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0)
        return STATUS_ACCESS_DENIED;
    device->ReferenceCount++;
    rec->references++;
    return STATUS_SUCCESS;
}

void DereferenceDeviceForClose(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT gone = nullptr;
    bool lastOpen;
    {
        Guard guard(State().lock);
        DeviceRec* rec = LiveDevice(device);
        if (!rec)
            return;
        lastOpen = --device->ReferenceCount == 0;
        gone = DropDeviceReference(*rec);
    }
    // Outside the lock (the manager takes its own locks, which come before this one). A device
    // the manager still knows keeps the manager's reference, so it is not freed yet; any other is
    // only compared.
    if (lastOpen)
        simk::pnp::detail::NoteLastHandleClosed(device);
    if (gone)
        DriverDevicesGone(gone);
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, bool readAccess, bool writeAccess)
{
    auto* file = static_cast<PFILE_OBJECT>(std::aligned_alloc(16, (sizeof(FILE_OBJECT) + 15) & ~size_t(15)));
    std::memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = readAccess ? TRUE : FALSE;
    file->WriteAccess = writeAccess ? TRUE : FALSE;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    Guard guard(State().lock);
    State().files[file] = FileRec{};
    return file;
}

void FreeUnopenedFileObject(PFILE_OBJECT file)
{
    {
        Guard guard(State().lock);
        State().files.erase(file);
    }
    std::memset(file, kFreedFill, sizeof(FILE_OBJECT));
    std::free(file);
}
// The last reference to a file object is gone: the driver hears IRP_MJ_CLOSE, then the open's hold
// on the device is released.
void CloseFileObject(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    PDEVICE_OBJECT target = IoGetAttachedDevice(device);
    PIRP irp = AllocateIoManagerIrp(target, file);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_CLOSE;
    irp->Flags |= IRP_CLOSE_OPERATION;
    IO_STATUS_BLOCK iosb;
    SendIoManagerIrp(target, irp, &iosb);
    ReleaseIoManagerIrp(irp);
    FreeUnopenedFileObject(file);
    DereferenceDeviceForClose(device);
}

} // namespace simk::detail
