// One connection to a device: a copy of its link specifier, the engine link opened (and shared)
// for it, and the exchanges everything above is built from: UEI requests and replies, command
// packets with a prefix-matched reply, store slots, factory data, the module-address query and
// the packet log. Every exchange puts packets on the engine link and waits, with a time-out, for
// the reply on its input; nothing is retried here.
#ifndef SX_API_LINK_H
#define SX_API_LINK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "aDefs.h"
#include "aLink.h"
#include "aLinkSpec.h"
#include "aUEI.h"

namespace Vantorix {
namespace Strandix {

// How long a reply is awaited, in milliseconds.
constexpr uint32_t kReplyTimeoutMs = 1000;
// Opening a store slot may take the device longer.
constexpr uint32_t kSlotOpenTimeoutMs = 3000;
// connect() polls a starting link this many times, this far apart.
constexpr int kConnectPolls = 200;
constexpr uint32_t kConnectPollMs = 10;
// Longest name kept for a link.
constexpr size_t kLinkNameMax = 1024;

// Command codes of the plain command packets used here.
constexpr uint8_t kCmdStoreSlot = 4;
constexpr uint8_t kCmdFactoryData = 0x5E;
constexpr uint8_t kCmdInformation = 0x49;
constexpr uint8_t kCmdDebugEcho = 23;

// Elements of a stream key (Link::getStreamKeyElement).
enum STREAM_KEY { STREAM_KEY_MODULE = 0, STREAM_KEY_COMMAND = 1, STREAM_KEY_OPTION = 2, STREAM_KEY_INDEX = 3,
                  STREAM_KEY_SUBINDEX = 4 };

// Command of the device's stream control entity (index 0): option 1 set starts streaming the
// options a key selects, option 2 set stops it, option 1 get tells whether the link streams.
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kStreamOptionEnable = 1;
constexpr uint8_t kStreamOptionDisable = 2;

// Stream sample types (data byte 3 of a stream packet).
constexpr uint8_t kStreamTypeByte = 1;
constexpr uint8_t kStreamTypeShort = 2;
constexpr uint8_t kStreamTypeInt = 3;
constexpr uint8_t kStreamTypeBytes = 4;
constexpr uint8_t kStreamTypeSubByte = 5;
constexpr uint8_t kStreamTypeSubShort = 6;
constexpr uint8_t kStreamTypeSubInt = 7;

// Called on the link's stream worker thread with a copy of a sample packet (valid only during
// the call) and the reference given at registration; the result is ignored.
typedef std::function<aErr(const aPacket* packet, void* reference)> StreamCallback;

class Link {
  public:
    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // aErrBusy while connected; else replaces the stored specifier.
    aErr setLinkSpecifier(const linkSpec& spec);
    // aErrNotFound without a specifier.
    aErr getLinkSpecifier(linkSpec* spec) const;
    const char* getName() const;

    // Opens (or shares) the engine link for the stored specifier and waits until it runs.
    aErr connect();
    // Finds the device (by serial number, or the first of the model; model 0 takes any) and
    // connects to it.
    aErr discoverAndConnect(linkType type, unsigned int serial, unsigned char model);
    bool isConnected() const;
    linkStatus getStatus() const;
    aErr disconnect();
    aErr reset();
    // The engine link identifier, 0 while not connected.
    aLinkId getLinkId() const;

    // The module address the device reports (0 with aErrNotReady when it does not answer).
    aErr getModuleAddress(unsigned char* address);

    // UEI exchanges.
    aErr sendUEI(const uei& request);
    aErr sendUEI(const uei& request, uint8_t subIndex);
    // Waits for the reply with this header and decodes it into *reply (its header is set to the
    // one given). An error reply is told by bit 7 of reply->specifier.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
    // Receives a byte run into reply->v.bytesVal (data and size set by the caller).
    aErr receiveUEIBytes(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // Command packets: data byte 0 is the command, then up to 27 operand bytes.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // *length: in, the number of match bytes; out, the reply's data length. data receives all of
    // the reply's data bytes (room for 28).
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data, uint32_t timeoutMs);

    // Store slots.
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t size, size_t* length);
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);

    // Factory data.
    aErr getFactoryData(uint8_t module, uint8_t command, uint8_t* buffer, size_t size, size_t* length);
    aErr setFactoryData(uint8_t module, uint8_t command, const uint8_t* data, size_t length);

    // Packet log to a text file.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Values the device streams unasked, by stream key (see StreamKey): aErrNotFound when the
    // key is not streaming; the value with aErrNone when fresh (the flag is then cleared), with
    // aErrStreamStale otherwise.
    aErr getStreamValue(uint64_t key, uint32_t* value);
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex,
                        uint32_t* value);
    static uint64_t StreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex)
    {
        return createStreamKey(module, command, option, index, subIndex);
    }

    // Value streams. 0xFF in an element of a registered key stands for every value of it (the
    // module excepted). Registering asks the device to stream what the key selects and hands
    // every matching sample to the callback on the link's worker thread; the first registration
    // installs the stream filter and starts the worker, the de-registration that empties the map
    // removes both (and waits for a running callback, unless called from one). aErrParam for a
    // module address that is odd or 0xFF; a device refusal removes the entries again and gives
    // the device's code.
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                const StreamCallback& callback, void* reference);
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // Whether the device streams to this link (its one-byte answer).
    aErr isLinkStreaming(uint8_t module, uint8_t* streaming);
    // Empties *status and fills it with (key, last value) of every streamed value the elements
    // select (0xFF matches all); aErrParam for a null map.
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subIndex,
                         std::map<uint64_t, uint32_t>* status);
    // The keys of the map's entries whose elements each equal the given one (0xFF matches all).
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subIndex);
    // Callback calls dropped because the worker's queue was full.
    uint64_t droppedStreamCalls() const;

    // Stream keys: subindex << 32 | module << 24 | command << 16 | option << 8 | index.
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subIndex);
    // One element of a key; 0 for an element that does not exist.
    static uint8_t getStreamKeyElement(uint64_t key, int element);

    // Stream packets and samples. A stream packet has at least 5 data bytes, a command other
    // than 8, an option without bits 6 and 7, and bit 6 set in the index byte.
    static bool isStreamPacket(const aPacket* packet);
    // The packet's sample type (4 for a byte run); false with 0 when it has none.
    static bool getStreamPacketType(const aPacket* packet, uint8_t* type);
    static bool isSubindexType(uint8_t type);
    // A complete single sample of its type.
    static bool isStreamSample(const aPacket* packet);
    // Decodes a sample: aErrPacket without a type or when incomplete, aErrSize for a byte run.
    // Any out pointer may be null.
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subIndex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

    struct impl;

  private:
    impl* m_impl;
    aErr checkExchange(uint8_t module) const;
    aErr awaitRunning();
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
