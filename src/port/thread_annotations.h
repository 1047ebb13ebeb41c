// Annotations for clang's -Wthread-safety analysis. They document which lock
// guards which field and which functions must (not) be called with a lock held,
// and clang checks it at compile time. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define LUMO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LUMO_THREAD_ANNOTATION(x)
#endif

// On a class: objects of it are locks.
#define LUMO_CAPABILITY(name) LUMO_THREAD_ANNOTATION(capability(name))
// On a class: an RAII object that holds a lock for its lifetime.
#define LUMO_SCOPED_CAPABILITY LUMO_THREAD_ANNOTATION(scoped_lockable)

// On a field: read or written only with the lock held.
#define LUMO_GUARDED_BY(x) LUMO_THREAD_ANNOTATION(guarded_by(x))
// On a pointer field: what it points to is used only with the lock held.
#define LUMO_PT_GUARDED_BY(x) LUMO_THREAD_ANNOTATION(pt_guarded_by(x))

// On a function: the caller holds (REQUIRES) or must not hold (EXCLUDES) the lock.
#define LUMO_REQUIRES(...) LUMO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define LUMO_EXCLUDES(...) LUMO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// On a function: it takes, releases, or tries to take (returning the first
// argument on success) the lock, and returns with it so.
#define LUMO_ACQUIRE(...) LUMO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define LUMO_RELEASE(...) LUMO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define LUMO_TRY_ACQUIRE(...) LUMO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// On a function: the analysis trusts that the lock is held from here on.
#define LUMO_ASSERT_CAPABILITY(x) LUMO_THREAD_ANNOTATION(assert_capability(x))

// On a function whose locking the analysis cannot follow (a lock handed to a
// condition wait, which releases and retakes it underneath).
#define LUMO_NO_THREAD_SAFETY_ANALYSIS LUMO_THREAD_ANNOTATION(no_thread_safety_analysis)
