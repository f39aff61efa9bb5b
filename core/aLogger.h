// A background thread that calls a drain function over and over, writing to a log file.
#ifndef SX_ALOGGER_H
#define SX_ALOGGER_H

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include "aDefs.h"
#include "aFile.h"

#define aLOGGER_TAG 0xDEED

typedef void (*aLoggerDrainProc)(aFileRef file, uint32_t parameter);

typedef struct aLogger {
    uint32_t parameter;
    aLoggerDrainProc drain;
    aFileRef file;
    pthread_t thread;
    std::atomic<bool> running;
    uint16_t tag;
} aLogger;

typedef aLogger* aLoggerRef;

#define aVALIDLOGGER(l) ((l) != nullptr && (l)->tag == aLOGGER_TAG)

aLoggerRef aLogger_Create(uint32_t parameter, aLoggerDrainProc drain, const char* path);
aErr aLogger_Enable(aLoggerRef logger);
aErr aLogger_Disable(aLoggerRef logger);
aErr aLogger_Destroy(aLoggerRef* logger);

#endif
