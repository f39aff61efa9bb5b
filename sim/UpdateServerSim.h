// Reference update server: a real HTTP (or HTTPS) server that answers the updater's five
// requests (op=hi, qu, bird, builds, fix) from a small catalogue of devices and builds. Tests,
// benchmarks and scripts/demo run it on 127.0.0.1; users can run it as a local mirror
// (sim/tools/sxsim_server.cpp).
//
// Catalogue file "catalogue" in a directory, one record per line ("#" starts a comment):
//   device SERIAL FIRMWARE [FP0 FP1 FP2 FP3]   serial and fingerprint words in hexadecimal
//   build SERIAL BUILD VERSION [FILE]          FILE relative to the directory, default BUILD.bird
//   latest SERIAL BUILD                        default: the highest build of the device; a
//                                              BUILD that is not a number is named verbatim
//                                              (a broken server: "../x", "-1")
//
// Fault switches make it misbehave on purpose, for every request or for one "op" only. The
// server stops by itself after an idle time without requests, and every connection is bounded.
#ifndef SIM_UPDATE_SERVER_SIM_H
#define SIM_UPDATE_SERVER_SIM_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class UpdateServerSim {
  public:
    enum Fault {
        FAULT_NONE,
        FAULT_NOT_FOUND,       // status 404 with a body
        FAULT_NOT_OK,          // status 200, first line "error"
        FAULT_EMPTY_BODY,      // status 200, no body
        FAULT_GARBAGE_BASE64,  // op=bird answers "ok" and a line that is not Base64
        FAULT_STALL,           // headers and "ok" sent, then nothing until the stall time ends
        FAULT_DRIP,            // the true reply, 2 bytes a second, for at most the stall time
        FAULT_WRAPPED_BASE64,  // op=bird answers the true build, its Base64 text in 76-column lines
    };

    struct Options {
        std::string bind = "127.0.0.1";
        uint16_t port = 0;                // 0: any free port
        int idle_timeout_ms = 60000;      // stops after this long without a request
        int stall_ms = 120000;            // how long a stalled reply holds its connection
        std::string cert_file, key_file;  // both set: HTTPS
    };

    UpdateServerSim();
    ~UpdateServerSim();
    UpdateServerSim(const UpdateServerSim&) = delete;
    UpdateServerSim& operator=(const UpdateServerSim&) = delete;

    // Catalogue. May be changed while the server runs.
    void AddDevice(uint32_t serial, const std::string& firmware);
    void SetFingerprint(uint32_t serial, const uint32_t words[4]);
    void AddBuild(uint32_t serial, uint32_t build, const std::string& version, const std::string& content);
    void AddBuildFile(uint32_t serial, uint32_t build, const std::string& version, const std::string& path);
    void SetLatest(uint32_t serial, uint32_t build);
    // The build the query names, as this text (what a broken or hostile server might send).
    void SetLatestText(uint32_t serial, const std::string& text);
    // Reads directory/catalogue. False with a message naming the file and line on an error.
    bool LoadCatalogue(const std::string& directory, std::string* error);

    // op empty: the fault applies to every request.
    void SetFault(Fault fault, const std::string& op = "");
    // "none", "404", "notok", "empty", "garbage", "stall", "drip", "wrap", optionally followed by
    // ":" and an op.
    static bool ParseFault(const std::string& text, Fault* fault, std::string* op);

    bool Start(const Options& options, std::string* error);
    void Stop();
    // Waits until the server has stopped (idle time-out or Stop); false after timeout_ms.
    bool Wait(int timeout_ms);
    bool running() const { return running_; }

    uint16_t Port() const { return port_; }
    // scheme://127.0.0.1:PORT/cgi/u (the bind address when it is not a wildcard).
    std::string BaseURL() const;
    // The request targets received ("/cgi/u?op=hi&rv=2&"), in order.
    std::vector<std::string> Requests() const;

  private:
    struct Build {
        uint32_t number;
        std::string version, path, content;
    };
    struct Device {
        std::string firmware;
        bool has_fingerprint = false;
        uint32_t fingerprint[4] = {0, 0, 0, 0};
        std::vector<Build> builds;
        uint32_t latest = 0;
        std::string latest_text;  // when set, named instead of a number
    };
    struct Reply {
        int status = 200;
        std::string body;
        bool stall = false;
        bool drip = false;
    };

    void AcceptLoop();
    void Serve(int fd, std::shared_ptr<std::atomic<bool>> done);
    void ReapWorkers(bool all);
    Reply Answer(const std::string& target);
    Reply AnswerCatalogue(const std::string& op, const std::map<std::string, std::string>& query);
    Device* FindDevice(const std::string& serial_text);
    bool ReadBuild(const Build& build, std::string* content);

    Options options_;
    mutable std::mutex mutex_;  // catalogue, faults, requests, connections
    std::map<uint32_t, Device> devices_;
    std::map<std::string, Fault> faults_;  // "" for every op
    std::vector<std::string> requests_;
    std::vector<int> connections_;
    std::condition_variable stopped_cv_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> last_activity_ms_{0};
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    void* tls_ = nullptr;  // SSL_CTX when serving HTTPS
    std::thread acceptor_;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> workers_;  // joined as they finish, and all at the end
};

#endif
