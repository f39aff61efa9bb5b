// The link engine: links to devices named by numeric identifiers (from 1, never reused, 0 for
// none). A started link runs a reader thread (packets in, heartbeat answers, resynchronisation)
// and a writer thread (packets out) over one byte stream. Links to one device are shared by use
// count.
#ifndef SX_ALINK_H
#define SX_ALINK_H

#include <cstdint>
#include "aDefs.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aStream.h"

#define aLINK_CHECK 0xCEED

typedef uint32_t linkStatus;
#define LINK_STOPPED 0u
#define LINK_STARTING 1u
#define LINK_RUNNING 2u
#define LINK_STOPPING 3u
#define LINK_SYNCING 4u
#define LINK_NO_STREAM 5u
#define LINK_IO_FAULT 6u
#define LINK_FAULT 8u

// Link-control addresses (host to device only).
#define aLINK_CONTROL_ADDRESS 0xAF
#define aLINK_SYNC_ADDRESS 0xAD
#define aLINK_SYNC_REQUEST_BYTES 12

#define aLINK_PACKETLOG_DEFAULT_SIZE 65536
#define aLINK_PACKETLOG_MAX_SIZE 0x4000000

// Identifier of a link made on a caller's stream.
#define aLINK_STREAM_IDENTIFIER 0xFFFFFFFFu

typedef uint32_t aLinkId;

// Creation: a link identifier, 0 on failure.
aLinkId aLink_CreateUSB(uint32_t serialNumber);
aLinkId aLink_CreateTCPIP(uint32_t address, uint16_t port);
aLinkId aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate);
// Takes ownership of the stream (destroyed with the link, or at once when no link is made).
aLinkId aLink_Create(aStream* stream);
// Drops one use; the last tears the link down. Always nulls the identifier.
aErr aLink_Destroy(aLinkId* id);
// Stops the link, re-opens its stream (USB and TCP/IP links only) and starts it again. The
// re-opening runs outside the link table's lock, so other links keep working; meanwhile this
// link's traffic calls fail at once (aErrBusy from aLink_PutPacket, null or 0 from the others)
// and a second reset of it returns aErrBusy. The link keeps its packet log.
aErr aLink_Reset(aLinkId id);

linkStatus aLink_GetStatus(aLinkId id);
// Writes the packet at once on the caller's thread when nothing is queued before it (waiting out
// the rest of the pacing interval, at most 1 ms), else queues it for the link's writer thread.
aErr aLink_PutPacket(aLinkId id, const aPacket* packet);
aPacket* aLink_GetPacket(aLinkId id);
aPacket* aLink_AwaitPacket(aLinkId id, uint64_t timeoutMs);
aPacket* aLink_GetFirst(aLinkId id, aPacketFilter filter, void* ref);
// The first packet the filter selects, waiting up to timeoutMs; null at once when the link is not
// running (stopping, resynchronising, faulted). While no other caller does, the waiting caller
// reads the link itself (see unix_linkio.cpp); a packet sent on the link less than the pacing
// interval ago makes it look only once that interval has passed.
aPacket* aLink_AwaitFirst(aLinkId id, aPacketFilter filter, void* ref, uint64_t timeoutMs);
uint64_t aLink_DrainPackets(aLinkId id, aPacketFilter filter, void* ref);
// The filter sees every complete received packet before anything else, on the thread reading
// the link (its reader thread, or a caller of aLink_AwaitFirst waiting for a reply);
// true means it took the packet. Null removes it; once this returns, the old filter is not running.
// The filter must not call back into the link's creation, destruction or filter functions.
aErr aLink_InstallUserPacketFilter(aLinkId id, aPacketFilter filter, void* ref);

aErr aLink_PacketDebug_SetLogSize(aLinkId id, int32_t size);
aErr aLink_PacketDebug_Enable(aLinkId id);
aErr aLink_PacketDebug_Disable(aLinkId id);
// length: in, the buffer's capacity; out, the record's length.
aErr aLink_PacketDebug_Read(aLinkId id, uint32_t* tag, uint32_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(aLinkId id, uint8_t tag, uint8_t length, const uint8_t* data);

// --- For transport modules that add a kind of link (USB) ---------------------------------------
// Opens the stream of a shared link from its lookup identifier and port; also used by aLink_Reset.
typedef aErr (*aLinkStreamOpener)(uint32_t identifier, uint32_t port, aStream** out);
// Shares the link with this identifier or makes one with a stream from the opener. With
// requireStream false a link is made and started even when the opener fails (its reader then
// reports LINK_IO_FAULT). Links of type USB and TCPIP can be reset, others not.
aLinkId aLink_CreateShared(uint32_t identifier, uint32_t port, linkType type, aLinkStreamOpener opener,
                           bool requireStream);

#endif
