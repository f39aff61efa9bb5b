// A private network namespace for tests that use the network beyond 127.0.0.1 (TCP/IP
// discovery sends multicast out of every interface, so it only ever runs inside one of these).
// The constructor creates the namespace with its loopback up and multicast routed to it; the
// destructor deletes it, ending any process still running inside.
#ifndef TEST_NET_NAMESPACE_H
#define TEST_NET_NAMESPACE_H

#include <functional>
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
    // Gives the namespace's loopback one more IPv4 address ("10.77.0.1/24"), which stands for
    // a network interface (sockets bound to it, multicast sent out of it).
    bool AddAddress(const std::string& cidr) const;
    // Runs fn on a thread that has entered the namespace (sockets it opens live there) and
    // waits for it. When the thread cannot enter, fn is not run and the result is false.
    bool RunInside(const std::function<void()>& fn) const;

  private:
    std::string name_;
    bool ok_ = false;
};

#endif
