// Generic byte-stream operations over the transport callbacks, the push-back ring, and the
// file streams.
#include "aStream.h"
#include "aFile.h"

#include <cstdlib>
#include <cstring>

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* procRef)
{
    aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (!stream)
        return nullptr;
    stream->getProc = getProc;
    stream->putProc = putProc;
    stream->writeProc = writeProc;
    stream->deleteProc = deleteProc;
    stream->procRef = procRef;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc waitProc)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->waitProc = waitProc;
    return aErrNone;
}

aErr aStream_Wait(aStream* stream, uint32_t timeoutMs)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (stream->bufferCount > 0)
        return aErrNone;
    if (!stream->waitProc)
        return aErrUnimplemented;
    return stream->waitProc(timeoutMs, stream->procRef);
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (!stream->buffer) {
        stream->buffer = static_cast<uint8_t*>(malloc(aSTREAMBUFCHUNK));
        if (!stream->buffer)
            return aErrMemory;
        stream->bufferSize = aSTREAMBUFCHUNK;
        stream->bufferHead = stream->bufferTail = stream->bufferCount = 0;
    }
    if (stream->bufferCount >= stream->bufferSize - 1) {
        size_t newSize = stream->bufferSize + aSTREAMBUFCHUNK;
        uint8_t* grown = static_cast<uint8_t*>(malloc(newSize));
        if (!grown)
            return aErrMemory;
        for (size_t i = 0; i < stream->bufferCount; i++)
            grown[i] = stream->buffer[(stream->bufferHead + i) % stream->bufferSize];
        free(stream->buffer);
        stream->buffer = grown;
        stream->bufferHead = 0;
        stream->bufferTail = stream->bufferCount;
        stream->bufferSize = newSize;
    }
    stream->buffer[stream->bufferTail] = byte;
    stream->bufferTail = (stream->bufferTail + 1) % stream->bufferSize;
    stream->bufferCount++;
    return aErrNone;
}

static bool sTakeBuffered(aStream* stream, uint8_t* byte)
{
    if (stream->bufferCount == 0)
        return false;
    *byte = stream->buffer[stream->bufferHead];
    stream->bufferHead = (stream->bufferHead + 1) % stream->bufferSize;
    stream->bufferCount--;
    return true;
}

// Gives bytes back in front of whatever is still held, so they are read again first and in order.
static aErr sUnread(aStream* stream, const uint8_t* bytes, size_t count)
{
    size_t held = stream->bufferCount;
    for (size_t i = 0; i < count; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone)
            return err;
    }
    // Rotate the bytes that were already held behind the ones just given back.
    for (size_t i = 0; i < held; i++) {
        uint8_t byte = 0;
        sTakeBuffered(stream, &byte);
        aStreamBufferChar(stream, byte);
    }
    return aErrNone;
}

static aErr sGetByte(aStream* stream, uint8_t* byte)
{
    if (sTakeBuffered(stream, byte))
        return aErrNone;
    return stream->getProc(byte, stream->procRef);
}

aErr aStream_Read(aStream* stream, uint8_t* destination, size_t count)
{
    if (!aVALIDSTREAM(stream) || !destination)
        return aErrParam;
    if (!stream->getProc)
        return aErrMode;
    if (count == 0)
        return aErrNone;
    // Small reads (the link reader takes one byte at a time) need no allocation.
    uint8_t small[64];
    uint8_t* scratch = count <= sizeof(small) ? small : static_cast<uint8_t*>(malloc(count));
    if (!scratch)
        return aErrResource;
    size_t got = 0;
    aErr err = aErrNone;
    while (got < count) {
        err = sGetByte(stream, &scratch[got]);
        if (err != aErrNone)
            break;
        got++;
    }
    if (err == aErrNotReady) {
        aErr unreadErr = sUnread(stream, scratch, got);
        if (scratch != small)
            free(scratch);
        return unreadErr != aErrNone ? unreadErr : aErrNotReady;
    }
    if (err != aErrNone && err != aErrEOF) {
        if (scratch != small)
            free(scratch);
        return err;
    }
    memcpy(destination, scratch, got);
    if (scratch != small)
        free(scratch);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* source, size_t count)
{
    if (!aVALIDSTREAM(stream) || !source)
        return aErrParam;
    if (!stream->writeProc && !stream->putProc)
        return aErrMode;
    if (count == 0)
        return aErrNone;
    if (stream->writeProc && (count > 1 || !stream->putProc))
        return stream->writeProc(source, count, stream->procRef);
    for (size_t i = 0; i < count; i++) {
        aErr err = stream->putProc(&source[i], stream->procRef);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, size_t* lengthOut, size_t maximum,
                        const uint8_t* terminator, size_t terminatorLength)
{
    if (lengthOut)
        *lengthOut = 0;
    if (!aVALIDSTREAM(stream) || !destination || !terminator || terminatorLength == 0)
        return aErrParam;
    if (!stream->getProc)
        return aErrMode;
    if (maximum == 0)
        return aErrNone;
    uint8_t* scratch = static_cast<uint8_t*>(malloc(maximum));
    // Consumed bytes, stored or part of a terminator match, given back on a pause.
    uint8_t* taken = static_cast<uint8_t*>(malloc(maximum + terminatorLength + 1));
    if (!scratch || !taken) {
        free(scratch);
        free(taken);
        return aErrResource;
    }
    size_t stored = 0, takenCount = 0, match = 0;
    aErr err = aErrNone;
    bool complete = false;
    while (!complete) {
        uint8_t byte;
        err = sGetByte(stream, &byte);
        if (err == aErrEOF) {
            // A partial terminator at the very end is data.
            for (size_t i = 0; i < match && stored < maximum; i++)
                scratch[stored++] = terminator[i];
            err = stored > 0 ? aErrNone : aErrEOF;
            break;
        }
        if (err == aErrNotReady) {
            sUnread(stream, taken, takenCount);
            stored = 0;
            break;
        }
        if (err != aErrNone)
            break;
        taken[takenCount++] = byte;
        if (byte == terminator[match]) {
            if (++match == terminatorLength)
                complete = true;
            continue;
        }
        // A broken partial terminator belongs to the record.
        for (size_t i = 0; i < match && stored < maximum; i++)
            scratch[stored++] = terminator[i];
        match = 0;
        if (stored >= maximum) {
            sUnread(stream, &byte, 1);  // not part of this record
            complete = true;
        } else if (byte == terminator[0]) {
            match = 1;
            complete = terminatorLength == 1;
        } else {
            scratch[stored++] = byte;
            complete = stored >= maximum;
        }
    }
    if (err == aErrNone || err == aErrEOF) {
        memcpy(destination, scratch, stored);
        if (lengthOut)
            *lengthOut = stored;
    }
    free(scratch);
    free(taken);
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t dataLength, const uint8_t* terminator,
                         size_t terminatorLength)
{
    if (!aVALIDSTREAM(stream) || (dataLength > 0 && !data) || (terminatorLength > 0 && !terminator))
        return aErrParam;
    aErr err = dataLength > 0 ? aStream_Write(stream, data, dataLength) : aErrNone;
    if (err == aErrNone && terminatorLength > 0)
        err = aStream_Write(stream, terminator, terminatorLength);
    return err;
}

aErr aStream_ReadCStringRecord(aStream* stream, char* destination, size_t size, const char* terminatorText)
{
    if (!destination || size == 0 || !terminatorText || terminatorText[0] == '\0')
        return aErrParam;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &length, size - 1,
                                  reinterpret_cast<const uint8_t*>(terminatorText), strlen(terminatorText));
    destination[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* destination, size_t size)
{
    if (!destination || size == 0)
        return aErrParam;
    static const uint8_t zero = 0;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &length, size - 1, &zero, 1);
    destination[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (!text)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminatorText)
{
    if (!text || !terminatorText)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(terminatorText), strlen(terminatorText) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination)
{
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
        return aErrParam;
    if (!source->getProc || !destination->putProc)
        return aErrMode;
    // Bytes given back to the source come first.
    for (;;) {
        uint8_t byte;
        aErr err = sGetByte(source, &byte);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = destination->putProc(&byte, destination->procRef);
        if (err != aErrNone)
            return err;
    }
}

aErr aStream_Destroy(aStream** stream)
{
    if (!stream)
        return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr err = s->deleteProc ? s->deleteProc(s->procRef) : aErrNone;
    free(s->buffer);
    s->check = 0;
    free(s);
    return err;
}

// --- File streams ---------------------------------------------------------------------------

static aErr sFileGet(uint8_t* byte, void* ref)
{
    aFileRef file = static_cast<aFileRef>(ref);
    if (!file)
        return aErrIO;
    return aFile_Read(file, byte, 1, nullptr);
}

static aErr sFileWrite(const uint8_t* bytes, size_t count, void* ref)
{
    aFileRef file = static_cast<aFileRef>(ref);
    if (!file)
        return aErrIO;
    size_t written = 0;
    aErr err = aFile_Write(file, bytes, count, &written);
    if (err == aErrNone && written != count)
        err = aErrWrite;
    return err;
}

static aErr sFilePut(const uint8_t* byte, void* ref)
{
    return sFileWrite(byte, 1, ref);
}

static aErr sFileDelete(void* ref)
{
    aFileRef file = static_cast<aFileRef>(ref);
    if (!file)
        return aErrIO;
    return aFile_Close(&file);
}

static aErr sCreateFile(const char* path, aStream** out, bool input)
{
    if (!path || !out)
        return aErrResource;
    *out = nullptr;
    aFileRef file = aFile_Open(path, input ? aFileModeRead : aFileModeWrite);
    if (!file)
        return aErrResource;
    aStream* stream = input ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                            : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (!stream) {
        aFile_Close(&file);
        return aErrResource;
    }
    *out = stream;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** out)
{
    return sCreateFile(path, out, true);
}

aErr aStream_CreateFileOutput(const char* path, aStream** out)
{
    return sCreateFile(path, out, false);
}
