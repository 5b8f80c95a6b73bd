// Hooks at kernel routines: test code run at a call point, the gate that holds a thread there,
// and the threads a test races against each other, all with bounded waits.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "internal.h"
#include "simkernel/hooks.h"

namespace simk::hooks {
namespace {

detail::ArmPlan SpecOf(Point point)
{
    detail::ArmPlan plan;
    for (const Site& site : point.sites)
        plan.sites.emplace_back(site.call, site.when);
    plan.nth = point.nth;
    plan.thread = point.thread;
    plan.match = std::move(point.match);
    return plan;
}

} // namespace

Point At(Call call, When when, unsigned nth, HANDLE thread)
{
    Point point;
    point.sites = {{call, when}};
    point.nth = nth;
    point.thread = thread;
    return point;
}

Point LockBoundary(unsigned nth, HANDLE thread)
{
    Point point;
    point.sites = {{Call::ExAcquireFastMutex, When::Before},
                   {Call::ExAcquireFastMutexUnsafe, When::Before},
                   {Call::ExReleaseFastMutex, When::After},
                   {Call::ExReleaseFastMutexUnsafe, When::After}};
    point.nth = nth;
    point.thread = thread;
    return point;
}

// ---- Hook --------------------------------------------------------------------------------------

Hook::Hook(Point point, std::function<void(const CallSite&)> action)
    : m_Fired(std::make_shared<std::atomic<bool>>(false))
{
    detail::ArmPlan plan = SpecOf(std::move(point));
    plan.run = [fired = m_Fired, action = std::move(action)](const CallSite& site) {
        *fired = true;
        action(site);
    };
    m_Id = detail::AddArm(std::move(plan));
}

Hook::~Hook() { detail::RemoveArm(m_Id); }

bool Hook::Fired() const { return *m_Fired; }

// ---- Gate --------------------------------------------------------------------------------------

struct Gate::State {
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    bool reached = false;
    bool released = false;
    bool timedOut = false;
    CallSite where{};
};

Gate::Gate(Point point) : m_State(std::make_shared<State>())
{
    detail::ArmPlan plan = SpecOf(std::move(point));
    if (plan.nth == 0)
        plan.nth = 1;
    plan.run = [state = m_State](const CallSite& site) {
        bool released;
        {
            // Waiting in the kernel's eyes for as long as `held` is set, so no longer once Release
            // has returned.
            detail::WaitingScope waiting;
            std::unique_lock<std::mutex> guard(state->lock);
            state->where = site;
            state->held = true;
            state->reached = true;
            state->changed.notify_all();
            released = state->changed.wait_for(guard, kBound, [&] { return state->released; });
        }
        if (!released) {
            std::fprintf(stderr, "*** a thread held at %s was not let go within %lld ms; it goes on by itself\n",
                         CallName(site.call), (long long)kBound.count());
        }
        std::lock_guard<std::mutex> guard(state->lock);
        state->timedOut = !released;
        state->held = false;
        state->changed.notify_all();
    };
    m_Id = detail::AddArm(std::move(plan));
}

Gate::~Gate()
{
    detail::RemoveArm(m_Id);
    Release();
}

bool Gate::Held() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->held;
}

bool Gate::Reached() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->reached;
}

bool Gate::WaitHeld(std::chrono::milliseconds bound) const
{
    std::unique_lock<std::mutex> guard(m_State->lock);
    return m_State->changed.wait_for(guard, bound, [&] { return m_State->held; });
}

void Gate::Release()
{
    std::unique_lock<std::mutex> guard(m_State->lock);
    m_State->released = true;
    m_State->changed.notify_all();
    // A held thread has left the gate when this returns, so it no longer counts as waiting.
    m_State->changed.wait_for(guard, kBound, [&] { return !m_State->held; });
}

bool Gate::TimedOut() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->timedOut;
}

const CallSite& Gate::Where() const { return m_State->where; }

// ---- RaceThread --------------------------------------------------------------------------------

struct RaceThread::State {
    std::mutex lock;
    std::condition_variable changed;
    HANDLE kernelThread = nullptr;
    bool started = false; // the thread runs and knows its kernel identity
    bool go = false;
    bool done = false;
    std::function<void()> body;
    std::thread thread;
};

RaceThread::RaceThread(std::function<void()> body) : m_State(std::make_shared<State>())
{
    m_State->body = std::move(body);
    m_State->thread = std::thread([state = m_State] {
        std::unique_lock<std::mutex> guard(state->lock);
        state->kernelThread = PsGetCurrentThreadId();
        state->started = true;
        state->changed.notify_all();
        state->changed.wait(guard, [&] { return state->go; });
        guard.unlock();
        state->body();
        guard.lock();
        state->done = true;
        state->changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(m_State->lock);
    m_State->changed.wait(guard, [&] { return m_State->started; });
}

RaceThread::~RaceThread()
{
    Go();
    if (!Join()) {
        std::fprintf(stderr, "*** a race thread did not finish within %lld ms: the threads deadlocked\n",
                     (long long)kBound.count());
        std::abort();
    }
}

HANDLE RaceThread::KernelThread() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->kernelThread;
}

void RaceThread::Go()
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    m_State->go = true;
    m_State->changed.notify_all();
}

bool RaceThread::Done() const
{
    std::lock_guard<std::mutex> guard(m_State->lock);
    return m_State->done;
}

bool RaceThread::WaitDoneOrWaiting(std::chrono::milliseconds bound) const
{
    const HANDLE thread = KernelThread();
    return WaitUntil([&] { return Done() || detail::ThreadWaiting(thread); }, bound);
}

bool RaceThread::Join(std::chrono::milliseconds bound)
{
    {
        std::unique_lock<std::mutex> guard(m_State->lock);
        if (!m_State->changed.wait_for(guard, bound, [&] { return m_State->done; }))
            return false;
    }
    if (m_State->thread.joinable())
        m_State->thread.join();
    return true;
}

// ---- Waiting -----------------------------------------------------------------------------------

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

bool IsWaiting(HANDLE thread) { return detail::ThreadWaiting(thread); }

} // namespace simk::hooks
