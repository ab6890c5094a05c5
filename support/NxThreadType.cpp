// POSIX thread wrappers. No function logs or stores a status code.
#include "support/NxThreadType.h"

#include <cerrno>
#include <unistd.h>

static_assert(sizeof(pthread_t) == sizeof(unsigned long), "thread handles are unsigned long");

extern "C" {

void InitialInvalidNxThread(unsigned long *thread)
{
    if (thread != nullptr) *thread = 0;
}

bool IsValidNxThread(unsigned long *thread) { return thread != nullptr && *thread != 0; }

bool CreateNxThread(unsigned long *thread, void *(*start)(void *), void *argument, unsigned long *threadId)
{
    if (threadId != nullptr) *threadId = 0;
    if (thread == nullptr || start == nullptr) return false;
    pthread_t created;
    if (pthread_create(&created, nullptr, start, argument) != 0)
        return false; // the handle keeps what it held
    *thread = static_cast<unsigned long>(created);
    return true;
}

bool WaitNxThread(unsigned long *thread)
{
    // Joining the invalid handle 0 is refused rather than handed to pthread_join.
    if (!IsValidNxThread(thread)) return false;
    return pthread_join(static_cast<pthread_t>(*thread), nullptr) == 0;
}

bool DestroyNxThread(unsigned long *thread)
{
    InitialInvalidNxThread(thread);
    return true;
}

void ExitNxThread(void) { pthread_exit(nullptr); }

unsigned long GetCurrentNxThreadId(void) { return static_cast<unsigned long>(pthread_self()); }

int GetCurrentNxProcessId(void) { return static_cast<int>(getpid()); }

// Mutexes and critical sections are the same thing; neither has an invalid
// marker. A null pointer is refused (false or EINVAL) instead of dereferenced.

void InitialInvalidNxMutex(pthread_mutex_t *) {}

bool IsValidNxMutex(pthread_mutex_t *) { return true; }

bool CreateNxMutex(pthread_mutex_t *mutex)
{
    return mutex != nullptr && pthread_mutex_init(mutex, nullptr) == 0;
}

bool DestroyNxMutex(pthread_mutex_t *mutex)
{
    if (mutex == nullptr) return false;
    const bool destroyed = pthread_mutex_destroy(mutex) == 0;
    InitialInvalidNxMutex(mutex);
    return destroyed;
}

int LockNxMutex(pthread_mutex_t *mutex) { return mutex != nullptr ? pthread_mutex_lock(mutex) : EINVAL; }

int UnlockNxMutex(pthread_mutex_t *mutex) { return mutex != nullptr ? pthread_mutex_unlock(mutex) : EINVAL; }

void InitialInvalidNxCriticalSection(pthread_mutex_t *) {}

bool IsValidNxCriticalSection(pthread_mutex_t *) { return true; }

bool CreateNxCriticalSection(pthread_mutex_t *section) { return CreateNxMutex(section); }

bool DestroyNxCriticalSection(pthread_mutex_t *section)
{
    if (section == nullptr) return false;
    const bool destroyed = pthread_mutex_destroy(section) == 0;
    InitialInvalidNxCriticalSection(section);
    return destroyed;
}

int EnterNxCriticalSection(pthread_mutex_t *section) { return LockNxMutex(section); }

int LeaveNxCriticalSection(pthread_mutex_t *section) { return UnlockNxMutex(section); }

void InitialInvalidNxCondition(pthread_cond_t *) {}

bool IsValidNxCondition(pthread_cond_t *) { return true; }

bool CreateNxCondition(pthread_cond_t *condition)
{
    return condition != nullptr && pthread_cond_init(condition, nullptr) == 0;
}

int SignalNxCondition(pthread_cond_t *condition)
{
    return condition != nullptr ? pthread_cond_signal(condition) : EINVAL;
}

int WaitNxCondition(pthread_cond_t *condition, pthread_mutex_t *mutex)
{
    return condition != nullptr && mutex != nullptr ? pthread_cond_wait(condition, mutex) : EINVAL;
}

bool DestroyNxCondition(pthread_cond_t *condition)
{
    return condition != nullptr && pthread_cond_destroy(condition) == 0;
}

} // extern "C"
