// One device as the rest of the system sees it: its module address on the module network, its
// model code and the Link through which it is reached (its own connection, or one shared with a
// router module). After connecting it can learn its own address from the device
// (auto-networking). It also answers the device's introspection queries and an echo test.
#ifndef SX_API_MODULE_H
#define SX_API_MODULE_H

#include <cstdint>

#include "Link.h"

namespace Vantorix {
namespace Strandix {

class Module {
  public:
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetwork, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // aErrParam for serial 0; else discoverAndConnect.
    aErr connect(linkType type, unsigned int serial);
    aErr discoverAndConnect(linkType type, unsigned int serial);
    // aErrBusy when already connected.
    aErr connectFromSpec(const linkSpec& spec);
    // Shares the router's connection; auto-networking is switched off.
    aErr connectThroughLinkModule(Module* router);
    // True when the module is reached through a router's connection: its own restart does not
    // take the link down.
    bool isRouted() const { return m_routed; }
    aErr reconnect();
    aErr disconnect();
    bool isConnected() const;
    linkStatus getStatus() const;

    uint8_t getModuleAddress() const { return m_address; }
    void setModuleAddress(uint8_t address) { m_address = address; }
    aErr getLinkSpecifier(linkSpec* spec) const;
    Link* getLink() const { return m_link; }
    void setNetworkingMode(bool autoNetwork) { m_autoNetwork = autoNetwork; }
    bool getNetworkingMode() const { return m_autoNetwork; }
    uint8_t getModel() const { return m_model; }

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Introspection (information command 0x49). hasUEI gives the device's aErr for the UEI
    // (aErrNone when it exists); direction is 0, 0x40 (get) or 0x80 (set).
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t entity, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t entity, uint8_t* group);

    // Echo test: the device must send the data back unchanged (aErrIO otherwise).
    aErr debug(const uint8_t* data, uint8_t length);

  private:
    Link* m_link = nullptr;
    uint8_t m_address;
    bool m_autoNetwork;
    uint8_t m_model;
    bool m_routed = false;

    bool ensureLink();
    void autoNetwork();
    aErr informationQuery(const uint8_t* request, uint8_t requestLength, uint8_t replyLength, uint8_t* answer);
};

}  // namespace Strandix
}  // namespace Vantorix

#endif
