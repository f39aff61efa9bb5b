// UEI messages: typed get and set requests addressed to one entity of a module, their replies,
// their packet layout and the packet filters that pick replies out of a link's input.
//
// Request data: command, option | 0x40 (get) or 0x80 (set), index | 0x20, value.
// Reply data:   command, option (get) or option | 0xC0 (set), index (bit 7: error reply), value
//               (an error reply carries one byte, the device's aErr code).
// Values are big-endian. The data length gives the type: 3 void, 4 byte, 5 short, 7 int; a
// request with a sub-index carries it at data byte 3, one byte longer. A byte run travels in
// chunks: 3 header bytes, up to 24 value bytes and a trailer (sequence in bits 0 to 6, 0x80 when
// more chunks follow); an empty run is one packet with trailer 0.
#ifndef SX_AUEI_H
#define SX_AUEI_H

#include <cstddef>
#include <cstdint>
#include "aDefs.h"
#include "aPacket.h"

#define aUEI_GET 0x40
#define aUEI_SET 0x80
#define aUEI_SET_REPLY 0xC0
#define aUEI_OPTION_MASK 0x3F
#define aUEI_INDEX_FLAG 0x20
#define aUEI_INDEX_MASK 0x1F
#define aUEI_ERROR_FLAG 0x80
#define aUEI_HEADER_BYTES 3
#define aUEI_CHUNK_BYTES 24
#define aUEI_MORE_CHUNKS 0x80
#define aUEI_SEQUENCE_MASK 0x7F

typedef enum { ueiTypeVoid = 0, ueiTypeByte = 1, ueiTypeShort = 2, ueiTypeInt = 4, ueiTypeBytes = 5 } ueiType;

// A byte run: outgoing, the bytes to send; incoming, the caller's buffer and its receive state.
typedef struct ueiBytes {
    uint8_t* data;
    size_t length;    // bytes held (received so far, or to send)
    size_t size;      // capacity of data (receiving)
    uint8_t sequence; // sequence expected next (receiving)
} ueiBytes;

typedef struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t specifier;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytesVal;
    } v;
    ueiType type;
} uei;

// Big-endian value helpers.
void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Turns n big-endian 32-bit words into host order in place.
void aUEI_ModifyIntBuffer(uint8_t* buffer, size_t words);

// Receives each packet of an encoded request; an error stops the encoding and is its result.
typedef aErr (*aUEIPacketSink)(const aPacket* packet, void* ref);

// Encodes the request packets of a UEI (one packet, or one per chunk of a byte run).
// aErrParam for an unknown type or a byte run without data; aErrResource when a packet
// cannot be made.
aErr aUEI_Encode(const uei* u, aUEIPacketSink sink, void* ref);
// Encodes a request carrying a sub-index byte ahead of the value (not for byte runs).
aErr aUEI_EncodeWithSubIndex(const uei* u, uint8_t subIndex, aUEIPacketSink sink, void* ref);

// Filter over a link's input: reference is a uei whose module, command, option (all 8 bits) and
// specifier (the plain index) the reply must match; bits 5 to 7 of the reply's index byte are
// ignored.
bool aUEI_Filter(const aPacket* packet, void* ref);
// Decodes a reply the filter selected into the uei: an error reply sets specifier to the index
// byte and the byte value to the device's error code; otherwise the length gives the type
// (lengths other than 3, 4, 5 and 7 leave value and type alone).
void aUEI_Decode(const aPacket* packet, uei* u);
// True when the decoded uei is an error reply.
bool aUEI_IsError(const uei* u);

// Filter for one chunk of a byte-run reply: the header must match as for aUEI_Filter and, unless
// it is an error reply, the trailer's sequence must equal v.bytesVal.sequence of the reference
// (chunks with another sequence stay queued).
bool aUEI_BytesFilter(const aPacket* packet, void* ref);
// Appends an accepted chunk to the byte run held in the uei. Results: aErrNone with *more telling
// whether further chunks follow (the expected sequence then moves on); the device's code for an
// error reply; aErrMemory when the chunk does not fit the buffer; aErrPacket for a chunk too short
// to carry a trailer.
aErr aUEI_AppendChunk(const aPacket* packet, uei* u, bool* more);

// Command-packet filter: reference is an aUEIMatch; the packet's first count data bytes must
// equal the match bytes (the address is not compared).
typedef struct aUEIMatch {
    const uint8_t* bytes;
    uint8_t count;
} aUEIMatch;
bool aUEI_MatchFilter(const aPacket* packet, void* ref);

#endif
