// Byte streams: four transport callbacks over an opaque reference, plus a push-back ring.
// Transports: file input/output, serial port (termios), TCP socket, USB device.
#ifndef SX_ASTREAM_H
#define SX_ASTREAM_H

#include <cstddef>
#include <cstdint>
#include "aDefs.h"

#define aSTREAMCHECK 0x4321
#define aSTREAMBUFCHUNK 512

// Transport record tags.
#define aSERIALSTREAM_CHECK 0xBEEF
#define aSOCKETSTREAM_CHECK 0xDEAD
#define aUSBSTREAM_CHECK 0xDEAD

#define aSOCKET_RETRY_DELAY_MS 60
#define aSOCKET_MAX_SEND_RETRY 10

// Each callback receives the stream's procRef as its last argument.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);
// Optional: waits up to timeoutMs until the transport may have a byte for get. aErrNone when
// get is worth calling, aErrNotReady when the time passed quietly, aErrConnection when the
// transport has hung up (get would only ever report nothing again).
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* ref);

typedef struct aStream {
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void* procRef;
    uint8_t* buffer;
    size_t bufferCount;
    size_t bufferSize;
    size_t bufferHead;
    size_t bufferTail;
    uint16_t check;
    aStreamWaitProc waitProc;  // null for transports without a readiness wait
} aStream;

typedef aStream* aStreamRef;

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAMCHECK)

typedef enum { aSerial_Bits_8 = 0, aSerial_Bits_7 = 1 } aSerial_Bits;
typedef enum { aSerial_Stop_bits_1 = 0, aSerial_Stop_bits_2 = 1 } aSerial_Stop_bits;

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* procRef);
// Gives a stream a readiness wait (see aStreamWaitProc); aErrParam for an invalid stream.
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc waitProc);
// Waits up to timeoutMs for something to read: aErrNone at once when pushed-back bytes are held;
// aErrUnimplemented when the transport has no readiness wait.
aErr aStream_Wait(aStream* stream, uint32_t timeoutMs);

// Reads exactly count bytes; on aErrNotReady nothing is consumed (all or nothing).
aErr aStream_Read(aStream* stream, uint8_t* destination, size_t count);
aErr aStream_Write(aStream* stream, const uint8_t* source, size_t count);
aErr aStreamBufferChar(aStream* stream, uint8_t byte);
aErr aStream_ReadRecord(aStream* stream, uint8_t* destination, size_t* lengthOut, size_t maximum,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t dataLength, const uint8_t* terminator,
                         size_t terminatorLength);
aErr aStream_ReadCString(aStream* stream, char* destination, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* destination, size_t size, const char* terminatorText);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminatorText);
aErr aStream_Flush(aStream* source, aStream* destination);
// Always nulls the caller's pointer.
aErr aStream_Destroy(aStream** stream);

aErr aStream_CreateFileInput(const char* path, aStream** out);
aErr aStream_CreateFileOutput(const char* path, aStream** out);
// baudIndex 0..7 = 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400 baud.
aErr aStream_CreateSerial(const char* portPath, uint32_t baudIndex, bool parity, uint32_t bits, uint32_t stopBits,
                          aStream** out);
// address: IPv4 in network byte order; port in host order. Connects at once.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** out);
// Opens the family device with that serial number (kernel driver node or USB library).
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** out);

#endif
