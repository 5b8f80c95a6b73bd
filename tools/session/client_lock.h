// The lock the session holds around its client, so that a Ctrl+C handler's close falls between two
// requests: a critical section on Windows (the target build's compiler, in its win32 thread model,
// has no std::mutex), std::mutex in the host build. Usable with std::lock_guard.
#pragma once

#if defined(_WIN32)
#include <windows.h>

namespace msdsc::tool {

class ClientLock {
public:
    ClientLock() { InitializeCriticalSection(&m_Section); }
    ~ClientLock() { DeleteCriticalSection(&m_Section); }
    ClientLock(const ClientLock&) = delete;
    ClientLock& operator=(const ClientLock&) = delete;
    void lock() { EnterCriticalSection(&m_Section); }
    void unlock() { LeaveCriticalSection(&m_Section); }

private:
    CRITICAL_SECTION m_Section;
};

}  // namespace msdsc::tool
#else
#include <mutex>

namespace msdsc::tool {
using ClientLock = std::mutex;
}  // namespace msdsc::tool
#endif
