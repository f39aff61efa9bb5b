// How a device is reached: the link type and the link specifier.
#ifndef SX_ALINKSPEC_H
#define SX_ALINKSPEC_H

#include <cstdint>
#include "aDefs.h"

typedef uint32_t linkType;

// The link types. Constants, not macros, so that other code may use these words as names of
// its own in an inner scope.
enum : linkType { INVALID = 0u, USB = 1u, TCPIP = 2u, SERIAL = 3u };

#define aLINKSPEC_PORT_NAME_SIZE 256

typedef struct linkSpec {
    linkType type;
    uint32_t serial_number;
    uint32_t module;
    uint32_t router;
    uint32_t router_serial_number;
    uint32_t model;
    union {
        struct {
            uint32_t usb_id;
        } usb;
        struct {
            uint32_t ip_address;  // network byte order, as received
            uint32_t ip_port;     // low 16 bits used
        } ip;
        struct {
            uint32_t baud_rate;
            char port_name[aLINKSPEC_PORT_NAME_SIZE];
        } serial;
    } t;
} linkSpec;

// A new specifier of that type with every other field 0; null when memory is exhausted.
linkSpec* aLinkSpec_Create(linkType type);
// A new whole copy of the specifier; null for a null specifier or when memory is exhausted.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees the specifier and nulls the caller's pointer; aErrParam when there is none.
aErr aLinkSpec_Destroy(linkSpec** spec);

#endif
