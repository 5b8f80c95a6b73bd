// Lock annotations for clang's thread-safety analysis. Under clang they make a field touched
// without its lock, or a "Locked" function called without it, a compile error; every other
// compiler (g++ for the host build, mingw-w64 for the image) sees nothing.
#pragma once

#if defined(__clang__)
#define MSDSC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MSDSC_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) MSDSC_THREAD_ANNOTATION(capability(name))
// A guard type: the lock its constructor takes is held until its destructor runs.
#define SCOPED_CAPABILITY MSDSC_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held; for a pointer, the data it points to.
#define GUARDED_BY(x) MSDSC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) MSDSC_THREAD_ANNOTATION(pt_guarded_by(x))
// The order of two locks that one thread may hold together.
#define ACQUIRED_BEFORE(...) MSDSC_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MSDSC_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// A function called with the lock held, or one that must not be.
#define REQUIRES(...) MSDSC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) MSDSC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the lock and returns with it held, or lets go of one its caller held.
// Without arguments on a member function of a capability type: the object itself.
#define ACQUIRE(...) MSDSC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MSDSC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function whose locking the analysis cannot follow; each use says why next to it.
#define NO_THREAD_SAFETY_ANALYSIS MSDSC_THREAD_ANNOTATION(no_thread_safety_analysis)
