// thrcompat.h - an older thread library's calls (thr_, mutex_, cond_, sema_) on top of
// POSIX threads, for code written against that interface.
//
// The types are the POSIX ones, except the counting semaphore sema_t (a mutex, a
// condition and a count). A synchronisation type of USYNC_PROCESS makes a process-shared
// object (for one placed in shared memory), USYNC_THREAD a process-private one. Nothing
// here holds state of its own; the objects are the caller's.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

typedef pthread_t thread_t;
typedef pthread_mutex_t mutex_t;
typedef pthread_cond_t cond_t;
typedef pthread_key_t thread_key_t;
typedef struct timespec timestruc_t;

struct sema_t {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  uint32_t count;
};

// thr_create flags.
enum {
  THR_BOUND = 0x01,
  THR_NEW_LWP = 0x02,
  THR_SUSPENDED = 0x04,  // not supported
  THR_DAEMON = 0x08,     // not supported
  THR_DETACHED = 0x10,
};
// Synchronisation types.
enum { USYNC_THREAD = 1, USYNC_PROCESS = 2 };

// Starts start(arg). A stack base without a size gives EINVAL, THR_SUSPENDED or THR_DAEMON
// ENOTSUP; THR_DETACHED makes the thread detached; the stack values are otherwise not
// used. Returns 0 or the error number; *new_thread (when given) receives the thread.
int thr_create(void *stack_base, size_t stack_size, void *(*start)(void *), void *arg, long flags,
               thread_t *new_thread);
// Joins `thread`; *departed (when given) receives it, *status (when given) its result.
int thr_join(thread_t thread, thread_t *departed, void **status);
int thr_setprio(thread_t thread, int priority);       // 0
int thr_getprio(thread_t thread, int *priority);      // priority 0; 0
int thr_setconcurrency(int level);                    // 0
int thr_getconcurrency(void);                         // 0
int thr_suspend(thread_t thread);                     // ENOSYS
int thr_continue(thread_t thread);                    // ENOSYS
int thr_getspecific(thread_key_t key, void **value);  // 0
// The process-shared flag of a type: USYNC_THREAD 0, USYNC_PROCESS 1, else EINVAL.
int setpshared(int type, int *flag);

int mutex_init(mutex_t *mutex, int type, void *arg);  // EINVAL for a bad type
int cond_init(cond_t *cond, int type, void *arg);     // EINVAL for a bad type
// Waits until `abstime` (seconds and nanoseconds since 1970 on the clock seam).
// Returns 0, ETIMEDOUT or another error number.
int cond_timedwait(cond_t *cond, mutex_t *mutex, const timestruc_t *abstime);

int sema_init(sema_t *sema, unsigned count, int type, void *arg);  // EINVAL for a bad type
int sema_destroy(sema_t *sema);
// Waits until the count is above 0 and takes one. A thread cancelled while waiting
// releases the semaphore's mutex.
int sema_wait(sema_t *sema);
int sema_trywait(sema_t *sema);  // 0 when one was taken, else EBUSY
int sema_post(sema_t *sema);     // adds one and wakes a waiter

inline thread_t thr_self(void) { return pthread_self(); }
[[noreturn]] inline void thr_exit(void *status) { pthread_exit(status); }
inline int thr_keycreate(thread_key_t *key, void (*destructor)(void *)) {
  return pthread_key_create(key, destructor);
}
inline int thr_setspecific(thread_key_t key, void *value) {
  return pthread_setspecific(key, value);
}
inline int mutex_lock(mutex_t *m) { return pthread_mutex_lock(m); }
inline int mutex_trylock(mutex_t *m) { return pthread_mutex_trylock(m); }
inline int mutex_unlock(mutex_t *m) { return pthread_mutex_unlock(m); }
inline int mutex_destroy(mutex_t *m) { return pthread_mutex_destroy(m); }
inline int cond_wait(cond_t *c, mutex_t *m) { return pthread_cond_wait(c, m); }
inline int cond_signal(cond_t *c) { return pthread_cond_signal(c); }
inline int cond_broadcast(cond_t *c) { return pthread_cond_broadcast(c); }
inline int cond_destroy(cond_t *c) { return pthread_cond_destroy(c); }
