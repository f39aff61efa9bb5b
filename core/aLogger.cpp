// Logger worker thread: calls the drain function while running.
#include "aLogger.h"

#include <new>

static void* sLoggerThread(void* arg)
{
    aLoggerRef logger = static_cast<aLoggerRef>(arg);
    while (logger->running.load())
        logger->drain(logger->file, logger->parameter);
    return nullptr;
}

aLoggerRef aLogger_Create(uint32_t parameter, aLoggerDrainProc drain, const char* path)
{
    if (drain == nullptr)
        return nullptr;
    aFileRef file = aFile_Open(path, aFileModeAppend);
    if (!file)
        return nullptr;
    aLoggerRef logger = new (std::nothrow) aLogger();
    if (!logger) {
        aFile_Close(&file);
        return nullptr;
    }
    aFile_SetUnbuffered(file);
    logger->parameter = parameter;
    logger->drain = drain;
    logger->file = file;
    logger->thread = pthread_self();
    logger->running = false;
    logger->tag = aLOGGER_TAG;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (logger->running.load())
        return aErrNone;
    logger->running = true;
    if (pthread_create(&logger->thread, nullptr, sLoggerThread, logger) != 0) {
        logger->running = false;
        logger->thread = pthread_self();
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger)
{
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (!logger->running.load())
        return aErrNone;
    if (pthread_equal(logger->thread, pthread_self()))
        return aErrNone;
    logger->running = false;
    aErr err = pthread_join(logger->thread, nullptr) == 0 ? aErrNone : aErrUnknown;
    logger->thread = pthread_self();
    return err;
}

aErr aLogger_Destroy(aLoggerRef* logger)
{
    if (logger == nullptr || !aVALIDLOGGER(*logger))
        return aErrNone;
    aErr err = aErrNone;
    if ((*logger)->running.load())
        err = aLogger_Disable(*logger);
    aFile_Close(&(*logger)->file);
    if (err != aErrNone)
        return err;
    (*logger)->tag = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}
