// Named mutex over pthreads.
#include "aMutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

aMutexRef aMutex_Create(const char* name)
{
    if (name && strnlen(name, aMUTEX_NAME_SIZE) >= aMUTEX_NAME_SIZE)
        return nullptr;
    aMutexRef m = static_cast<aMutexRef>(calloc(1, sizeof(aMutex)));
    if (!m)
        return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        free(m);
        return nullptr;
    }
    if (name)
        strcpy(m->name, name);
    return m;
}

const char* aMutex_Identifier(aMutexRef mutex)
{
    return mutex ? mutex->name : nullptr;
}

aErr aMutex_Lock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EDEADLK:
        return aErrDuplicate;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EBUSY:
        return aErrBusy;
    case EINVAL:
        return aErrParam;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex)
{
    if (!mutex)
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0:
        return aErrNone;
    case EINVAL:
        return aErrParam;
    case EPERM:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutexRef* mutex)
{
    if (!mutex || !*mutex)
        return aErrParam;
    aErr err;
    switch (pthread_mutex_destroy(&(*mutex)->mutex)) {
    case 0:
        err = aErrNone;
        break;
    case EBUSY:
        err = aErrBusy;
        break;
    case EINVAL:
        err = aErrParam;
        break;
    case EAGAIN:
        err = aErrResource;
        break;
    default:
        err = aErrUnknown;
        break;
    }
    free(*mutex);
    *mutex = nullptr;
    return err;
}
