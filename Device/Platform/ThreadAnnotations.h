// Lock annotations that clang's -Wthread-safety checks: a lock type declares
// itself a capability, a field names the lock that guards it, a function names
// the locks it needs, takes or gives back, and a scope guard says it holds its
// lock for its lifetime. Under other compilers every macro expands to nothing.
//
// Use NO_THREAD_SAFETY_ANALYSIS only where the analysis cannot follow the
// locking (a lock taken in one function and given back in another, a lock
// reached through a pointer the analysis cannot name), and say why beside it.
#pragma once

#if defined(__clang__)
#define VELQUIN_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define VELQUIN_THREAD_ANNOTATION(attribute)
#endif

// A type whose objects are locks; the text names the kind in diagnostics.
#define CAPABILITY(kind) VELQUIN_THREAD_ANNOTATION(capability(kind))
// A guard that takes its lock in its constructor and gives it back in its
// destructor.
#define SCOPED_CAPABILITY VELQUIN_THREAD_ANNOTATION(scoped_lockable)

// The field is read and written only with the lock held.
#define GUARDED_BY(lock) VELQUIN_THREAD_ANNOTATION(guarded_by(lock))
// What the pointer field points to is read and written only with the lock held.
#define PT_GUARDED_BY(lock) VELQUIN_THREAD_ANNOTATION(pt_guarded_by(lock))

// Lock order: this lock is taken before / after the ones named.
#define ACQUIRED_BEFORE(...) VELQUIN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VELQUIN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the locks (exclusively, or at least shared).
#define REQUIRES(...) VELQUIN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VELQUIN_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes the locks and returns holding them; with no argument, the
// object itself is the lock.
#define ACQUIRE(...) VELQUIN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VELQUIN_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
// The function gives back locks the caller held.
#define RELEASE(...) VELQUIN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VELQUIN_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// The function takes the locks when it returns the given value.
#define TRY_ACQUIRE(...) VELQUIN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them itself).
#define EXCLUDES(...) VELQUIN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function checks at run time that the lock is held.
#define ASSERT_CAPABILITY(lock) VELQUIN_THREAD_ANNOTATION(assert_capability(lock))
// The function returns a reference to the lock named.
#define RETURN_CAPABILITY(lock) VELQUIN_THREAD_ANNOTATION(lock_returned(lock))

// The function's body is not checked; always with a comment saying why.
#define NO_THREAD_SAFETY_ANALYSIS VELQUIN_THREAD_ANNOTATION(no_thread_safety_analysis)
