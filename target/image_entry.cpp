// The kernel image's own entry point and the few C++ run-time hooks the image needs: seeds the
// stack-protector guard, then hands the loader's two arguments to DriverEntry unchanged.
#include <ntddk.h>
#include <intrin.h>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Provided by the linker: the first byte of this image wherever the loader placed it.
extern "C" const UCHAR __ImageBase[];

namespace {
// Stop codes. A corrupted canary is what Windows reports for an overrun stack buffer; the C++
// hooks below are unreachable in a correct driver, so reaching one is a driver violation.
constexpr ULONG DRIVER_OVERRAN_STACK_BUFFER = 0xF7;
constexpr ULONG DRIVER_VIOLATION = 0x121;

// What a hook passes as the first parameter of DRIVER_VIOLATION, so a crash dump tells them apart.
enum class UnreachableHook : ULONG_PTR {
    PureVirtualCall = 1,
    OperatorDelete = 2,
};

// Until the entry runs, the guard holds this build-time constant; no protected frame runs
// before the entry, so a canary is never compared with it. Its low byte is not zero, so no
// seeded guard can equal it.
constexpr ULONG_PTR INITIAL_STACK_GUARD = 0x2B992DDFA232ULL;

[[noreturn]] void StopUnreachable(UnreachableHook hook, void* caller)
{
    KeBugCheckEx(DRIVER_VIOLATION, static_cast<ULONG_PTR>(hook), reinterpret_cast<ULONG_PTR>(caller), 0, 0);
    __builtin_unreachable();
}
} // namespace

extern "C" {

// mingw's -fstack-protector stores this value below each protected frame's return address and
// compares it on the way out.
ULONG_PTR __stack_chk_guard = INITIAL_STACK_GUARD;

__attribute__((noreturn)) void __stack_chk_fail(void)
{
    // The parameters this stop code carries: the canary found (unknown here, the failing frame
    // does not pass it), the expected guard and its complement.
    KeBugCheckEx(DRIVER_OVERRAN_STACK_BUFFER, 0, __stack_chk_guard, ~__stack_chk_guard, 0);
    __builtin_unreachable();
}

// Reached only by a virtual call from a base-class constructor or destructor, which the driver
// never makes.
void __cxa_pure_virtual(void) { StopUnreachable(UnreachableHook::PureVirtualCall, __builtin_return_address(0)); }

// Seeds the guard from values that differ per boot and per load: the time-stamp counter, the
// address the image was loaded at and the stack the loader called us on. A guard known in advance
// would let an overrun write the expected canary back.
__attribute__((no_stack_protector)) NTSTATUS MsdscImageEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ULONG_PTR seed = __rdtsc();
    seed ^= reinterpret_cast<ULONG_PTR>(__ImageBase) << 17;
    seed ^= reinterpret_cast<ULONG_PTR>(__builtin_frame_address(0)) >> 4;
    seed *= 0x9E3779B97F4A7C15ULL;
    seed ^= seed >> 29;
    // A zero low byte (the first byte an overrun reaches) means no string copy, which writes a
    // zero only at its end, can write the canary back intact.
    seed &= ~static_cast<ULONG_PTR>(0xFF);
    if (seed == 0)
        seed = INITIAL_STACK_GUARD & ~static_cast<ULONG_PTR>(0xFF);
    __stack_chk_guard = seed;

    return DriverEntry(DriverObject, RegistryPath);
}

} // extern "C"

// Deleting destructors of classes with virtual destructors reference these even though the
// driver never deletes through them: objects live in device extensions and end by their
// destructor plus IoDeleteDevice.
void operator delete(void*) noexcept { StopUnreachable(UnreachableHook::OperatorDelete, __builtin_return_address(0)); }

void operator delete(void*, decltype(sizeof(0))) noexcept
{
    StopUnreachable(UnreachableHook::OperatorDelete, __builtin_return_address(0));
}
