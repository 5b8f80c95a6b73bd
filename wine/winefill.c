/* winefill.sys: a test-only driver for Wine 8.0 that supplies three kernel calls Wine's ntoskrnl.exe
 * leaves unimplemented, so that the unchanged msdscbus.sys can run in the same winedevice process.
 *
 * Wine 8.0 answers IoAllocateDriverObjectExtension with STATUS_NOT_IMPLEMENTED and
 * IoGetDriverObjectExtension with NULL (both "stub" FIXMEs), and exports IoAttachDeviceToDeviceStackSafe
 * as an unimplemented stub that raises an exception when called. Wine runs kernel drivers as user-mode
 * code, so this driver may use kernel32: at load it rewrites the entry of each of the three calls in
 * the process's ntoskrnl.exe into a jump to the implementation below. It must be loaded before
 * msdscbus.sys into the same winedevice process, which Wine's service manager does for kernel
 * drivers of one load-order group. It is never installed anywhere but a throw-away Wine prefix. */
#include <windows.h>

typedef LONG NTSTATUS;

#define FILL_STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define FILL_STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define FILL_STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define FILL_STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define FILL_STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)

/* Wine implements the unsafe form; the safe one differs only in writing the lower device before the
 * attachment becomes visible, which matters to a driver only when requests can arrive during
 * AddDevice, and Wine's Plug and Play manager sends none then. */
__declspec(dllimport) void *WINAPI IoAttachDeviceToDeviceStack(void *source, void *target);

/* One extension per (driver object, client identification) pair, as the kernel keeps them. A test
 * loads a handful of drivers; the memory lives as long as the process, like a driver object's
 * extensions live as long as the driver object. */
struct DriverExtension {
    void *driver;
    void *id;
    void *memory;
};

#define MAX_EXTENSIONS 32
static struct DriverExtension g_Extensions[MAX_EXTENSIONS];
static SRWLOCK g_Lock = SRWLOCK_INIT;

static NTSTATUS WINAPI FillAllocateDriverObjectExtension(void *driver, void *id, ULONG size, void **extension)
{
    NTSTATUS status = FILL_STATUS_INSUFFICIENT_RESOURCES;
    struct DriverExtension *free_slot = NULL;
    int i;

    *extension = NULL;
    AcquireSRWLockExclusive(&g_Lock);
    for (i = 0; i < MAX_EXTENSIONS; ++i) {
        if (g_Extensions[i].memory == NULL) {
            if (free_slot == NULL) free_slot = &g_Extensions[i];
        } else if (g_Extensions[i].driver == driver && g_Extensions[i].id == id) {
            ReleaseSRWLockExclusive(&g_Lock);
            return FILL_STATUS_OBJECT_NAME_COLLISION;
        }
    }
    if (free_slot != NULL) {
        void *memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size ? size : 1);
        if (memory != NULL) {
            free_slot->driver = driver;
            free_slot->id = id;
            free_slot->memory = memory;
            *extension = memory;
            status = FILL_STATUS_SUCCESS;
        }
    }
    ReleaseSRWLockExclusive(&g_Lock);
    return status;
}

static void *WINAPI FillGetDriverObjectExtension(void *driver, void *id)
{
    void *memory = NULL;
    int i;

    AcquireSRWLockShared(&g_Lock);
    for (i = 0; i < MAX_EXTENSIONS; ++i) {
        if (g_Extensions[i].memory != NULL && g_Extensions[i].driver == driver && g_Extensions[i].id == id) {
            memory = g_Extensions[i].memory;
            break;
        }
    }
    ReleaseSRWLockShared(&g_Lock);
    return memory;
}

static NTSTATUS WINAPI FillAttachDeviceToDeviceStackSafe(void *source, void *target, void **attached_to)
{
    void *lower = IoAttachDeviceToDeviceStack(source, target);
    *attached_to = lower;
    return lower != NULL ? FILL_STATUS_SUCCESS : FILL_STATUS_NO_SUCH_DEVICE;
}

/* mov rax, imm64; jmp rax: twelve bytes, shorter than each of Wine's three entries, and rax carries
 * no argument in the x64 calling convention. */
static BOOL Redirect(HMODULE kernel, const char *name, void *implementation)
{
    BYTE *code = (BYTE *)GetProcAddress(kernel, name);
    ULONG_PTR target = (ULONG_PTR)implementation;
    DWORD protection;
    int i;

    if (code == NULL) return FALSE;
    if (!VirtualProtect(code, 12, PAGE_EXECUTE_READWRITE, &protection)) return FALSE;
    code[0] = 0x48;
    code[1] = 0xB8;
    for (i = 0; i < 8; ++i) code[2 + i] = (BYTE)(target >> (8 * i));
    code[10] = 0xFF;
    code[11] = 0xE0;
    VirtualProtect(code, 12, protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), code, 12);
    return TRUE;
}

extern IMAGE_DOS_HEADER __ImageBase;

NTSTATUS WINAPI DriverEntry(void *driver, void *registry_path)
{
    HMODULE kernel;
    (void)registry_path;

    /* Wine treats an image that imports kernel32 as a DLL and first calls its entry as DllMain, with
     * the image's own base in place of the driver object; that call must succeed (TRUE) and do
     * nothing. The driver's own call follows. */
    if (driver == (void *)&__ImageBase) return TRUE;
    kernel = GetModuleHandleW(L"ntoskrnl.exe");
    if (kernel == NULL) return FILL_STATUS_PROCEDURE_NOT_FOUND;
    if (!Redirect(kernel, "IoAllocateDriverObjectExtension", (void *)FillAllocateDriverObjectExtension) ||
        !Redirect(kernel, "IoGetDriverObjectExtension", (void *)FillGetDriverObjectExtension) ||
        !Redirect(kernel, "IoAttachDeviceToDeviceStackSafe", (void *)FillAttachDeviceToDeviceStackSafe))
        return FILL_STATUS_PROCEDURE_NOT_FOUND;
    /* No DriverUnload: the jumps point into this image, so it must stay loaded as long as the process. */
    return FILL_STATUS_SUCCESS;
}
