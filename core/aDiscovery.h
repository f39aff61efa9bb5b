// Finding devices: the family's devices on USB, and devices on the local IPv4 networks that
// answer a UDP multicast request. Each device found is handed to a callback as a link
// specifier.
#ifndef SX_ADISCOVERY_H
#define SX_ADISCOVERY_H

#include <cstdint>

#include "aLinkSpec.h"

struct sockaddr;

// The discovery datagrams.
#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
#define aDISCOVERY_REQUEST_BYTE 0x01
#define aDISCOVERY_REPLY_WAIT_MS 2000
// However chatty the network, one enumeration ends after this long.
#define aDISCOVERY_MAX_MS 30000

// Layout of a reply: byte offsets.
#define aDISCOVERY_REPLY_MODULE 1
#define aDISCOVERY_REPLY_PORT_LE 2
#define aDISCOVERY_REPLY_SERIAL_LE 4
#define aDISCOVERY_REPLY_MODEL 12
// A reply too short to carry a serial number is not a device.
#define aDISCOVERY_REPLY_MIN_SIZE 8

// Called once per device found. The specifier lives only during the call. Set *countIt to
// count this device; return false to stop the enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* countIt, void* ref);

// Enumerates the devices on USB or TCP/IP; the number of callbacks that set their flag, 0 for
// any other link type or when the transport cannot be used.
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref);
// A new specifier for the device with that serial number, or null. Release with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber);
// A new specifier for the first device found with a serial number other than 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type);

// The IPv4 address in host byte order; 0 for a null address or one that is not IPv4.
uint32_t SockAddrToUint32(const struct sockaddr* address);

// The transports' enumerations (aDiscovery_EnumerateModules dispatches to them).
uint32_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref);
uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref);
// Turns one reply datagram from the given IPv4 sender (network byte order) into a specifier;
// false when the datagram is too short to be a reply.
bool aDiscovery_DecodeReply(const uint8_t* datagram, size_t length, uint32_t senderAddress, linkSpec* spec);

#endif
