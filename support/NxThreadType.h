// Thread, mutex, critical-section and condition wrappers over POSIX threads,
// exported with C names. Truth results are true when the
// underlying call returned 0; int results pass the POSIX code on unchanged.
#ifndef DOCSCAN_SUPPORT_NXTHREADTYPE_H
#define DOCSCAN_SUPPORT_NXTHREADTYPE_H

#include <pthread.h>

#include "support/export.h"

extern "C" {

// A thread is held in an unsigned long (the pthread_t); 0 is "no thread".
DOCSCAN_EXPORT void InitialInvalidNxThread(unsigned long *thread);
DOCSCAN_EXPORT bool IsValidNxThread(unsigned long *thread);
DOCSCAN_EXPORT bool CreateNxThread(unsigned long *thread, void *(*start)(void *), void *argument,
                                   unsigned long *threadId);
DOCSCAN_EXPORT bool WaitNxThread(unsigned long *thread);
DOCSCAN_EXPORT bool DestroyNxThread(unsigned long *thread);
DOCSCAN_EXPORT void ExitNxThread(void) __attribute__((noreturn));
DOCSCAN_EXPORT unsigned long GetCurrentNxThreadId(void);
DOCSCAN_EXPORT int GetCurrentNxProcessId(void);

DOCSCAN_EXPORT void InitialInvalidNxMutex(pthread_mutex_t *mutex);
DOCSCAN_EXPORT bool IsValidNxMutex(pthread_mutex_t *mutex);
DOCSCAN_EXPORT bool CreateNxMutex(pthread_mutex_t *mutex);
DOCSCAN_EXPORT bool DestroyNxMutex(pthread_mutex_t *mutex);
DOCSCAN_EXPORT int LockNxMutex(pthread_mutex_t *mutex);
DOCSCAN_EXPORT int UnlockNxMutex(pthread_mutex_t *mutex);

DOCSCAN_EXPORT void InitialInvalidNxCriticalSection(pthread_mutex_t *section);
DOCSCAN_EXPORT bool IsValidNxCriticalSection(pthread_mutex_t *section);
DOCSCAN_EXPORT bool CreateNxCriticalSection(pthread_mutex_t *section);
DOCSCAN_EXPORT bool DestroyNxCriticalSection(pthread_mutex_t *section);
DOCSCAN_EXPORT int EnterNxCriticalSection(pthread_mutex_t *section);
DOCSCAN_EXPORT int LeaveNxCriticalSection(pthread_mutex_t *section);

DOCSCAN_EXPORT void InitialInvalidNxCondition(pthread_cond_t *condition);
DOCSCAN_EXPORT bool IsValidNxCondition(pthread_cond_t *condition);
DOCSCAN_EXPORT bool CreateNxCondition(pthread_cond_t *condition);
DOCSCAN_EXPORT int SignalNxCondition(pthread_cond_t *condition);
DOCSCAN_EXPORT int WaitNxCondition(pthread_cond_t *condition, pthread_mutex_t *mutex);
DOCSCAN_EXPORT bool DestroyNxCondition(pthread_cond_t *condition);

} // extern "C"

#endif // DOCSCAN_SUPPORT_NXTHREADTYPE_H
