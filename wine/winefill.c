/* winefill.sys: a test-only driver for Wine 8.0 that supplies what Wine's kernel lacks for the
 * unchanged msdscbus.sys to run in the same winedevice process. It is never installed anywhere but a
 * throw-away Wine prefix (scripts/wine-test.sh); docs/wine.md says why each part is needed.
 *
 * 1. Three calls: Wine 8.0 answers IoAllocateDriverObjectExtension with STATUS_NOT_IMPLEMENTED and
 *    IoGetDriverObjectExtension with NULL (both "stub" FIXMEs), and exports IoAttachDeviceToDeviceStackSafe
 *    as an unimplemented stub that raises an exception. At load the entry of each in the process's
 *    ntoskrnl.exe is rewritten into a jump to the implementation below.
 * 2. One Plug and Play request at a time (for the bus driver's devices alone, known by its driver
 *    object's name): when Wine removes a bus with children, its removal thread
 *    sends each child surprise removal, and a child that then invalidates its bus's relations (as a
 *    reader still on its bus does) wakes Wine's Plug and Play thread, which queries the bus while the
 *    removal thread is removing it. Windows handles such an invalidation after the removal, when the bus
 *    is gone and the invalidation has nothing left to do. So an invalidation made while the calling
 *    thread handles a child's surprise removal or removal is held back; it is dropped when that thread
 *    then removes the bus, and passed on to Wine before the thread's next other Plug and Play request.
 *
 * Wine runs kernel drivers as user-mode code, so this driver calls kernel32 for what a kernel has no
 * call for (finding and rewriting code). It must run before msdscbus.sys in the same winedevice
 * process, which Wine's service manager does for kernel drivers of one load-order group. */
#include <ntddk.h>
#include <ntimage.h>

/* kernel32, declared here because its header and the kernel's cannot be included together. */
typedef struct FillSrwLock {
    void* Ptr;
} FillSrwLock;
__declspec(dllimport) void* __stdcall GetModuleHandleW(const wchar_t* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall GetModuleHandleExW(unsigned long flags, const wchar_t* name, void** module);
__declspec(dllimport) int __stdcall VirtualProtect(void* address, SIZE_T size, unsigned long protection,
                                                   unsigned long* previous);
__declspec(dllimport) int __stdcall FlushInstructionCache(void* process, const void* address, SIZE_T size);
__declspec(dllimport) void* __stdcall GetCurrentProcess(void);
__declspec(dllimport) void* __stdcall GetProcessHeap(void);
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, unsigned long flags, SIZE_T size);
__declspec(dllimport) void __stdcall AcquireSRWLockExclusive(FillSrwLock* lock);
__declspec(dllimport) void __stdcall ReleaseSRWLockExclusive(FillSrwLock* lock);
__declspec(dllimport) unsigned long __stdcall TlsAlloc(void);
__declspec(dllimport) void* __stdcall TlsGetValue(unsigned long index);
__declspec(dllimport) int __stdcall TlsSetValue(unsigned long index, void* value);

#define FILL_PAGE_EXECUTE_READWRITE 0x40
#define FILL_PAGE_READWRITE 0x04
#define FILL_HEAP_ZERO_MEMORY 0x08
#define FILL_MODULE_FROM_ADDRESS 0x04
#define FILL_MODULE_UNCHANGED_REFCOUNT 0x02
#define FILL_TLS_OUT_OF_INDEXES 0xFFFFFFFFul

extern IMAGE_DOS_HEADER __ImageBase;

static FillSrwLock g_Lock;

/* --- driver object extensions ------------------------------------------------------------------ */

/* One extension per (driver object, client identification) pair, as the kernel keeps them. The memory
 * lives as long as the process, as a driver object's extensions live as long as the driver object. */
struct DriverExtension {
    PDRIVER_OBJECT driver;
    PVOID id;
    PVOID memory;
};

#define MAX_EXTENSIONS 32
static struct DriverExtension g_Extensions[MAX_EXTENSIONS];

static NTSTATUS NTAPI FillAllocateDriverObjectExtension(PDRIVER_OBJECT driver, PVOID id, ULONG size, PVOID* extension)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    struct DriverExtension* free_slot = NULL;
    int i;

    *extension = NULL;
    AcquireSRWLockExclusive(&g_Lock);
    for (i = 0; i < MAX_EXTENSIONS; ++i) {
        if (g_Extensions[i].memory == NULL) {
            if (free_slot == NULL)
                free_slot = &g_Extensions[i];
        } else if (g_Extensions[i].driver == driver && g_Extensions[i].id == id) {
            ReleaseSRWLockExclusive(&g_Lock);
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    if (free_slot != NULL) {
        PVOID memory = HeapAlloc(GetProcessHeap(), FILL_HEAP_ZERO_MEMORY, size ? size : 1);
        if (memory != NULL) {
            free_slot->driver = driver;
            free_slot->id = id;
            free_slot->memory = memory;
            *extension = memory;
            status = STATUS_SUCCESS;
        }
    }
    ReleaseSRWLockExclusive(&g_Lock);
    return status;
}

static PVOID NTAPI FillGetDriverObjectExtension(PDRIVER_OBJECT driver, PVOID id)
{
    PVOID memory = NULL;
    int i;

    AcquireSRWLockExclusive(&g_Lock);
    for (i = 0; i < MAX_EXTENSIONS; ++i) {
        if (g_Extensions[i].memory != NULL && g_Extensions[i].driver == driver && g_Extensions[i].id == id) {
            memory = g_Extensions[i].memory;
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_Lock);
    return memory;
}

/* --- one Plug and Play request at a time ------------------------------------------------------- */

/* The bus devices attached through the safe attach call (function device over physical device) and
 * the one driver that attached them. */
#define MAX_BUSES 8
static PDEVICE_OBJECT g_BusDevice[MAX_BUSES];
static PDEVICE_OBJECT g_BusPhysical[MAX_BUSES];
static PDRIVER_DISPATCH g_DriverPnp;
static PDRIVER_OBJECT g_Driver;
static VOID(NTAPI* g_WineInvalidate)(PDEVICE_OBJECT, DEVICE_RELATION_TYPE);
static unsigned long g_Slot = FILL_TLS_OUT_OF_INDEXES;

/* What a thread holds back: the invalidations made while it handles a child's removal. */
#define MAX_HELD 16
struct ThreadState {
    int in_child_removal;
    int held;
    PDEVICE_OBJECT device[MAX_HELD];
    DEVICE_RELATION_TYPE type[MAX_HELD];
};

static struct ThreadState* CurrentThread(void)
{
    struct ThreadState* state = (struct ThreadState*)TlsGetValue(g_Slot);
    if (state == NULL) {
        state = (struct ThreadState*)HeapAlloc(GetProcessHeap(), FILL_HEAP_ZERO_MEMORY, sizeof(*state));
        if (state != NULL)
            TlsSetValue(g_Slot, state);
    }
    return state;
}

/* The physical device under a bus device, or NULL when the device is not a bus. */
static PDEVICE_OBJECT BusPhysical(PDEVICE_OBJECT device, int forget)
{
    PDEVICE_OBJECT physical = NULL;
    int i;

    AcquireSRWLockExclusive(&g_Lock);
    for (i = 0; i < MAX_BUSES; ++i) {
        if (g_BusDevice[i] == device) {
            physical = g_BusPhysical[i];
            if (forget)
                g_BusDevice[i] = g_BusPhysical[i] = NULL;
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_Lock);
    return physical;
}

static VOID NTAPI FillInvalidateDeviceRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type)
{
    struct ThreadState* state = CurrentThread();
    if (state != NULL && state->in_child_removal && state->held < MAX_HELD) {
        state->device[state->held] = device;
        state->type[state->held] = type;
        state->held++;
        return;
    }
    g_WineInvalidate(device, type);
}

static void PassHeldOn(struct ThreadState* state, PDEVICE_OBJECT removed_physical)
{
    int i, held = state->held;
    state->held = 0;
    for (i = 0; i < held; ++i)
        if (state->device[i] != removed_physical)
            g_WineInvalidate(state->device[i], state->type[i]);
}

static NTSTATUS NTAPI FillDispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const int removal = minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE;
    PDEVICE_OBJECT physical = BusPhysical(device, 0);
    struct ThreadState* state = CurrentThread();
    NTSTATUS status;

    if (state == NULL)
        return g_DriverPnp(device, irp);
    if (!removal && state->held)
        PassHeldOn(state, NULL);
    if (removal && physical == NULL)
        state->in_child_removal++;
    status = g_DriverPnp(device, irp);
    if (removal && physical == NULL)
        state->in_child_removal--;
    /* The bus is gone: what its children asked of it during the removal has nothing left to do. */
    if (minor == IRP_MN_REMOVE_DEVICE && physical != NULL) {
        BusPhysical(device, 1);
        PassHeldOn(state, physical);
    }
    return status;
}

/* Points the driver's import of IoInvalidateDeviceRelations at FillInvalidateDeviceRelations. */
static BOOLEAN RedirectImport(PVOID code_in_driver, PVOID wine_function, PVOID implementation)
{
    UCHAR* base = NULL;
    IMAGE_NT_HEADERS* nt;
    IMAGE_IMPORT_DESCRIPTOR* import;
    BOOLEAN found = FALSE;

    if (!GetModuleHandleExW(FILL_MODULE_FROM_ADDRESS | FILL_MODULE_UNCHANGED_REFCOUNT, (const wchar_t*)code_in_driver,
                            (void**)&base))
        return FALSE;
    nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    if (nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].Size == 0)
        return FALSE;
    import = (IMAGE_IMPORT_DESCRIPTOR*)(base +
                                        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
    for (; import->Name != 0; ++import) {
        ULONG_PTR* slot = (ULONG_PTR*)(base + import->FirstThunk);
        for (; *slot != 0; ++slot) {
            unsigned long protection;
            if (*slot != (ULONG_PTR)wine_function)
                continue;
            if (!VirtualProtect(slot, sizeof(*slot), FILL_PAGE_READWRITE, &protection))
                return FALSE;
            *slot = (ULONG_PTR)implementation;
            VirtualProtect(slot, sizeof(*slot), protection, &protection);
            found = TRUE;
        }
    }
    return found;
}

/* The bus driver is the one whose driver object Wine named after its service. */
static BOOLEAN IsBusDriver(PDRIVER_OBJECT driver)
{
    UNICODE_STRING bus;
    RtlInitUnicodeString(&bus, L"\\Driver\\msdscbus");
    return RtlEqualUnicodeString(&driver->DriverName, &bus, TRUE);
}

/* Wine implements the unsafe form; the safe one differs only in writing the lower device before the
 * attachment becomes visible. The first bus attached also puts the driver's Plug and Play requests
 * and its invalidations through this driver. */
static NTSTATUS NTAPI FillAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                                        PDEVICE_OBJECT* attached_to)
{
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(source, target);
    PDRIVER_OBJECT driver = source->DriverObject;
    int i;

    *attached_to = lower;
    if (lower == NULL)
        return STATUS_NO_SUCH_DEVICE;
    /* Only the bus driver's devices are buses; a function driver in the same process (the sample
     * reader driver over each reader) may attach this way too. */
    if (!IsBusDriver(driver))
        return STATUS_SUCCESS;

    AcquireSRWLockExclusive(&g_Lock);
    for (i = 0; i < MAX_BUSES; ++i) {
        if (g_BusDevice[i] == NULL) {
            g_BusDevice[i] = source;
            g_BusPhysical[i] = target;
            break;
        }
    }
    if (g_Driver == NULL && g_Slot != FILL_TLS_OUT_OF_INDEXES && g_WineInvalidate != NULL &&
        RedirectImport((PVOID)driver->MajorFunction[IRP_MJ_PNP], (PVOID)g_WineInvalidate,
                       (PVOID)FillInvalidateDeviceRelations)) {
        g_Driver = driver;
        g_DriverPnp = driver->MajorFunction[IRP_MJ_PNP];
        driver->MajorFunction[IRP_MJ_PNP] = FillDispatchPnp;
    }
    ReleaseSRWLockExclusive(&g_Lock);
    return STATUS_SUCCESS;
}

/* --- load -------------------------------------------------------------------------------------- */

/* mov rax, imm64; jmp rax: twelve bytes, shorter than each of Wine's three entries, and rax carries
 * no argument in the x64 calling convention. */
static BOOLEAN Redirect(PVOID kernel, const char* name, PVOID implementation)
{
    UCHAR* code = (UCHAR*)GetProcAddress(kernel, name);
    ULONG_PTR target = (ULONG_PTR)implementation;
    unsigned long protection;
    int i;

    if (code == NULL)
        return FALSE;
    if (!VirtualProtect(code, 12, FILL_PAGE_EXECUTE_READWRITE, &protection))
        return FALSE;
    code[0] = 0x48;
    code[1] = 0xB8;
    for (i = 0; i < 8; ++i)
        code[2 + i] = (UCHAR)(target >> (8 * i));
    code[10] = 0xFF;
    code[11] = 0xE0;
    VirtualProtect(code, 12, protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), code, 12);
    return TRUE;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    PVOID kernel;
    (void)registry_path;

    /* Wine takes an image that imports kernel32 for a DLL and first calls its entry as DllMain, with
     * the image's own base in place of the driver object; that call must succeed (TRUE) and do
     * nothing. The driver's own call follows. */
    if ((PVOID)driver == (PVOID)&__ImageBase)
        return TRUE;
    kernel = GetModuleHandleW(L"ntoskrnl.exe");
    if (kernel == NULL)
        return STATUS_PROCEDURE_NOT_FOUND;
    g_WineInvalidate =
        (VOID(NTAPI*)(PDEVICE_OBJECT, DEVICE_RELATION_TYPE))GetProcAddress(kernel, "IoInvalidateDeviceRelations");
    g_Slot = TlsAlloc();
    if (!Redirect(kernel, "IoAllocateDriverObjectExtension", (PVOID)FillAllocateDriverObjectExtension) ||
        !Redirect(kernel, "IoGetDriverObjectExtension", (PVOID)FillGetDriverObjectExtension) ||
        !Redirect(kernel, "IoAttachDeviceToDeviceStackSafe", (PVOID)FillAttachDeviceToDeviceStackSafe))
        return STATUS_PROCEDURE_NOT_FOUND;
    /* No DriverUnload: the jumps point into this image, so it must stay loaded as long as the process. */
    return STATUS_SUCCESS;
}
