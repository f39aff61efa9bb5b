// Named, non-recursive mutex.
#ifndef SX_AMUTEX_H
#define SX_AMUTEX_H

#include <pthread.h>
#include "aDefs.h"

#define aMUTEX_NAME_SIZE 256

typedef struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_NAME_SIZE];
} aMutex;

typedef aMutex* aMutexRef;

aMutexRef aMutex_Create(const char* name);
const char* aMutex_Identifier(aMutexRef mutex);
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);
aErr aMutex_Destroy(aMutexRef* mutex);

#endif
