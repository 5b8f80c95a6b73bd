// The kernel as a whole for tests: a fresh kernel per test (every manager cleared in dependency
// order) and IRQL scopes.
#include "internal.h"
#include "simkernel/kernel.h"

// The Plug and Play, power and registry managers live in their own files; until they are linked in,
// there is nothing of theirs to reset.
namespace simk::detail {
__attribute__((weak)) void ResetPnp();
__attribute__((weak)) void ResetPower();
__attribute__((weak)) void ResetRegistry();
} // namespace simk::detail

namespace simk {
using namespace simk::detail;

void ResetKernel()
{
    // The managers that hold device objects let go of them first; then the I/O manager frees every
    // object, the loader closes the images, and the executive forgets pool and locks.
    if (ResetPnp)
        ResetPnp();
    if (ResetPower)
        ResetPower();
    if (ResetRegistry)
        ResetRegistry();
    ResetUser();
    ResetSecurity();
    ResetIo();
    ResetLoader();
    ResetPool();
    ResetSync();
    ResetRtl();
    ResetFaults();
    ResetVerifier();
}

ScopedIrql::ScopedIrql(KIRQL irql) : m_Old(KeGetCurrentIrql()), m_Raised(irql >= m_Old)
{
    if (m_Raised) {
        KfRaiseIrql(irql);
    } else {
        KeLowerIrql(irql);
    }
}

ScopedIrql::~ScopedIrql()
{
    if (m_Raised) {
        KeLowerIrql(m_Old);
    } else {
        KfRaiseIrql(m_Old);
    }
}

} // namespace simk
