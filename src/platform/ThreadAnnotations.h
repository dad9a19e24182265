#pragma once
// Annotations that let clang check, at compile time, that what a lock guards is touched only with
// the lock held (-Wthread-safety; -Wthread-safety-beta adds the order of ACQUIRED_BEFORE and
// ACQUIRED_AFTER). Other compilers see nothing. The mutex types that carry them are in
// platform/Mutex.h; the locks and their order in platform/Locks.h.
#if defined(__clang__)
#define MERIVO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MERIVO_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) MERIVO_THREAD_ANNOTATION(capability(name))
// An object that holds a lock from its construction to its destruction.
#define SCOPED_CAPABILITY MERIVO_THREAD_ANNOTATION(scoped_lockable)
// A member or global read and written only with the lock held.
#define GUARDED_BY(lock) MERIVO_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target is read and written only with the lock held.
#define PT_GUARDED_BY(lock) MERIVO_THREAD_ANNOTATION(pt_guarded_by(lock))
// Locks taken while this one is held / locks held whenever this one is taken.
#define ACQUIRED_BEFORE(...) MERIVO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MERIVO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// A function called with the locks held, which it leaves held.
#define REQUIRES(...) MERIVO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function called without the locks (it takes them itself).
#define EXCLUDES(...) MERIVO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes / releases the locks (without arguments: the object it is called on).
#define ACQUIRE(...) MERIVO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MERIVO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that takes the lock when it returns the given value.
#define TRY_ACQUIRE(...) MERIVO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function that returns a reference to the lock.
#define RETURN_CAPABILITY(lock) MERIVO_THREAD_ANNOTATION(lock_returned(lock))
// A function whose locking the analysis cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS MERIVO_THREAD_ANNOTATION(no_thread_safety_analysis)
