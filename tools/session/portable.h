// What the session needs from the platform beyond the client library: the lock it holds around its
// client, so that a Ctrl+C handler's close falls between two requests, and a pause between two looks
// at Plug and Play. A critical section and Sleep on Windows (the target build's compiler, in its
// win32 thread model, has no std::mutex), the standard library in the host build.
#pragma once

#if defined(_WIN32)
#include <windows.h>

namespace msdsc::tool {

class ClientLock
{
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

inline void Pause(unsigned milliseconds) { Sleep(milliseconds); }

} // namespace msdsc::tool
#else
#include <chrono>
#include <mutex>
#include <thread>

namespace msdsc::tool {

using ClientLock = std::mutex;

inline void Pause(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

} // namespace msdsc::tool
#endif
