// Lock contracts the compiler checks. With clang and -Wthread-safety (the
// "tsa" preset) these macros become clang's capability attributes, so that a
// member read without the lock that guards it, or a lock left held on a
// return path, fails the build; other compilers see nothing.
#pragma once

#if defined(__clang__) && !defined(SWIG)
#define HX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) HX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) HX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) HX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) HX_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) HX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) HX_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) HX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) HX_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) HX_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) HX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) HX_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) HX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) HX_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) HX_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) HX_THREAD_ANNOTATION(lock_returned(x))
// An opt-out: every use says in a comment why the analysis cannot follow.
#define NO_THREAD_SAFETY_ANALYSIS HX_THREAD_ANNOTATION(no_thread_safety_analysis)
