// A private network namespace for tests that use the network beyond 127.0.0.1 (TCP/IP
// discovery sends multicast out of every interface, so it only ever runs inside one of these).
// The constructor creates the namespace with its loopback up and multicast routed to it; the
// destructor deletes it, ending any process still running inside.
#ifndef TEST_NET_NAMESPACE_H
#define TEST_NET_NAMESPACE_H

#include <string>
#include <vector>

#include "Process.h"

class NetNamespace {
  public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }

    // Runs a command inside the namespace and waits for it.
    ProcessResult Run(const std::vector<std::string>& argv, int timeout_ms = 60000) const;
    // The argument words that run a command inside the namespace: {"ip","netns","exec",name}.
    std::vector<std::string> Prefix() const;

  private:
    std::string name_;
    bool ok_ = false;
};

#endif
