// Lock contracts the compiler checks. Built with clang and -Wthread-safety,
// a member marked GUARDED_BY(lock_) may only be touched with lock_ held, and a
// function marked REQUIRES(lock_) only called with it held; other compilers
// see nothing. The names follow clang's thread-safety analysis.
//
// The analysis follows one function at a time and does not know recursion:
// an LLock that a caller already holds may be taken again by a callee (the
// engine relies on that), but not twice within one function body.
#ifndef BASE_THREADING_THREAD_ANNOTATIONS_H_
#define BASE_THREADING_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TOBRIC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TOBRIC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TOBRIC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TOBRIC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TOBRIC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TOBRIC_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TOBRIC_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TOBRIC_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TOBRIC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TOBRIC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TOBRIC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TOBRIC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TOBRIC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TOBRIC_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TOBRIC_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TOBRIC_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // BASE_THREADING_THREAD_ANNOTATIONS_H_
