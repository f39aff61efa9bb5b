#include "UpdateServerSim.h"

#include "aTime.h"
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "base64.h"

namespace {

const size_t sMaxRequestBytes = 64 * 1024;
const int sSocketTimeoutS = 10;
const size_t sMaxConnections = 64;

int sHex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string sPercentDecode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && sHex(text[i + 1]) >= 0 && sHex(text[i + 2]) >= 0) {
            out += (char)(sHex(text[i + 1]) * 16 + sHex(text[i + 2]));
            i += 2;
        } else if (text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> sQuery(const std::string& target)
{
    std::map<std::string, std::string> query;
    size_t q = target.find('?');
    if (q == std::string::npos)
        return query;
    std::stringstream in(target.substr(q + 1));
    std::string pair;
    while (std::getline(in, pair, '&')) {
        if (pair.empty())
            continue;
        size_t eq = pair.find('=');
        std::string key = sPercentDecode(pair.substr(0, eq));
        std::string value = eq == std::string::npos ? "" : sPercentDecode(pair.substr(eq + 1));
        query.emplace(key, value);
    }
    return query;
}

bool sParseHex32(const std::string& text, uint32_t* value)
{
    if (text.empty() || text.size() > 8)
        return false;
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 16);
    if (*end != 0)
        return false;
    *value = (uint32_t)v;
    return true;
}

bool sParseDec32(const std::string& text, uint32_t* value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = strtoull(text.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull)
        return false;
    *value = (uint32_t)v;
    return true;
}

const char* sReason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    default: return "Error";
    }
}

// One accepted connection, plain or TLS.
class sConnection {
  public:
    sConnection(int fd, SSL_CTX* tls) : fd_(fd)
    {
        if (tls) {
            ssl_ = SSL_new(tls);
            if (ssl_ == nullptr || SSL_set_fd(ssl_, fd) != 1 || SSL_accept(ssl_) != 1)
                ok_ = false;
        }
    }
    ~sConnection()
    {
        if (ssl_) {
            if (ok_)
                SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
    }
    bool ok() const { return ok_; }
    ssize_t Read(char* buffer, size_t size)
    {
        if (ssl_)
            return SSL_read(ssl_, buffer, (int)size);
        return recv(fd_, buffer, size, 0);
    }
    bool WriteAll(const std::string& data)
    {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ssl_ ? SSL_write(ssl_, data.data() + done, (int)(data.size() - done))
                             : send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += (size_t)n;
        }
        return true;
    }

  private:
    int fd_;
    SSL* ssl_ = nullptr;
    bool ok_ = true;
};

}  // namespace

UpdateServerSim::UpdateServerSim() {}

UpdateServerSim::~UpdateServerSim()
{
    Stop();
    if (tls_)
        SSL_CTX_free(static_cast<SSL_CTX*>(tls_));
}

void UpdateServerSim::AddDevice(uint32_t serial, const std::string& firmware)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[serial].firmware = firmware;
}

void UpdateServerSim::SetFingerprint(uint32_t serial, const uint32_t words[4])
{
    std::lock_guard<std::mutex> lock(mutex_);
    Device& device = devices_[serial];
    device.has_fingerprint = true;
    memcpy(device.fingerprint, words, sizeof(device.fingerprint));
}

void UpdateServerSim::AddBuild(uint32_t serial, uint32_t build, const std::string& version, const std::string& content)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[serial].builds.push_back(Build{build, version, "", content});
}

void UpdateServerSim::AddBuildFile(uint32_t serial, uint32_t build, const std::string& version,
                                   const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[serial].builds.push_back(Build{build, version, path, ""});
}

void UpdateServerSim::SetLatest(uint32_t serial, uint32_t build)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[serial].latest = build;
}

void UpdateServerSim::SetLatestText(uint32_t serial, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[serial].latest_text = text;
}

bool UpdateServerSim::LoadCatalogue(const std::string& directory, std::string* error)
{
    const std::string file = directory + "/catalogue";
    std::ifstream in(file);
    if (!in) {
        if (error)
            *error = "Cannot read " + file;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::stringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty())
            continue;
        uint32_t serial = 0, build = 0, fp[4];
        bool good = w.size() >= 3 && sParseHex32(w[1], &serial);
        if (good && w[0] == "device") {
            good = w.size() == 3 || w.size() == 7;
            for (size_t i = 0; good && w.size() == 7 && i < 4; i++)
                good = sParseHex32(w[3 + i], &fp[i]);
            if (good) {
                AddDevice(serial, w[2]);
                if (w.size() == 7)
                    SetFingerprint(serial, fp);
            }
        } else if (good && w[0] == "build") {
            good = (w.size() == 4 || w.size() == 5) && sParseDec32(w[2], &build);
            if (good)
                AddBuildFile(serial, build, w[3], directory + "/" + (w.size() == 5 ? w[4] : w[2] + ".bird"));
        } else if (good && w[0] == "latest") {
            good = w.size() == 3;
            if (good && sParseDec32(w[2], &build))
                SetLatest(serial, build);
            else if (good)
                SetLatestText(serial, w[2]);
        } else {
            good = false;
        }
        if (!good) {
            if (error)
                *error = file + ":" + std::to_string(number) + ": cannot read the record [" + line + "]";
            return false;
        }
    }
    return true;
}

void UpdateServerSim::SetFault(Fault fault, const std::string& op)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fault == FAULT_NONE && op.empty())
        faults_.clear();
    else
        faults_[op] = fault;
}

bool UpdateServerSim::ParseFault(const std::string& text, Fault* fault, std::string* op)
{
    static const std::map<std::string, Fault> names = {{"none", FAULT_NONE},       {"404", FAULT_NOT_FOUND},
                                                       {"notok", FAULT_NOT_OK},    {"empty", FAULT_EMPTY_BODY},
                                                       {"garbage", FAULT_GARBAGE_BASE64}, {"stall", FAULT_STALL},
                                                       {"drip", FAULT_DRIP},       {"wrap", FAULT_WRAPPED_BASE64}};
    size_t colon = text.find(':');
    auto it = names.find(text.substr(0, colon));
    if (it == names.end())
        return false;
    *fault = it->second;
    *op = colon == std::string::npos ? "" : text.substr(colon + 1);
    return true;
}

bool UpdateServerSim::Start(const Options& options, std::string* error)
{
    if (running_) {
        if (error)
            *error = "already running";
        return false;
    }
    if (acceptor_.joinable())
        acceptor_.join();  // a previous run that ended by its idle time-out
    options_ = options;
    auto fail = [&](const std::string& text) {
        if (error)
            *error = text;
        if (listen_fd_ >= 0)
            close(listen_fd_);
        listen_fd_ = -1;
        return false;
    };
    if (!options.cert_file.empty() || !options.key_file.empty()) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, options.cert_file.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, options.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
            if (ctx)
                SSL_CTX_free(ctx);
            return fail("cannot load certificate " + options.cert_file + " and key " + options.key_file);
        }
        if (tls_)
            SSL_CTX_free(static_cast<SSL_CTX*>(tls_));
        tls_ = ctx;
        // A TLS write to a client that went away must not end the process.
        signal(SIGPIPE, SIG_IGN);
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.bind.c_str(), &address.sin_addr) != 1)
        return fail("not an IPv4 address: " + options.bind);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        return fail(std::string("socket: ") + strerror(errno));
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(listen_fd_, (struct sockaddr*)&address, sizeof(address)) != 0)
        return fail("bind " + options.bind + ":" + std::to_string(options.port) + ": " + strerror(errno));
    if (listen(listen_fd_, 32) != 0)
        return fail(std::string("listen: ") + strerror(errno));
    socklen_t length = sizeof(address);
    getsockname(listen_fd_, (struct sockaddr*)&address, &length);
    port_ = ntohs(address.sin_port);
    stop_ = false;
    running_ = true;
    last_activity_ms_ = aTime_MonoMS();
    acceptor_ = std::thread(&UpdateServerSim::AcceptLoop, this);
    return true;
}

void UpdateServerSim::Stop()
{
    stop_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : connections_)
            shutdown(fd, SHUT_RDWR);
        stopped_cv_.notify_all();
    }
    if (acceptor_.joinable())
        acceptor_.join();
}

bool UpdateServerSim::Wait(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return stopped_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !running_; });
}

std::string UpdateServerSim::BaseURL() const
{
    const std::string host = (options_.bind == "0.0.0.0") ? "127.0.0.1" : options_.bind;
    return std::string(tls_ ? "https" : "http") + "://" + host + ":" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> UpdateServerSim::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void UpdateServerSim::AcceptLoop()
{
    while (!stop_) {
        ReapWorkers(false);
        const uint64_t now = aTime_MonoMS(), last = last_activity_ms_;
        if (now > last && now - last > (uint64_t)options_.idle_timeout_ms) {
            bool busy;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                busy = !connections_.empty();
            }
            if (!busy)
                break;
        }
        struct pollfd p = {listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        last_activity_ms_ = aTime_MonoMS();
        std::lock_guard<std::mutex> lock(mutex_);
        if (connections_.size() >= sMaxConnections) {
            close(fd);
            continue;
        }
        struct timeval tv = {sSocketTimeoutS, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        connections_.push_back(fd);
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back(Worker{std::thread(&UpdateServerSim::Serve, this, fd, done), done});
    }
    close(listen_fd_);
    listen_fd_ = -1;
    stop_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : connections_)
            shutdown(fd, SHUT_RDWR);
        stopped_cv_.notify_all();
    }
    ReapWorkers(true);
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    stopped_cv_.notify_all();
}

void UpdateServerSim::ReapWorkers(bool all)
{
    for (size_t i = 0; i < workers_.size();) {
        if (all || workers_[i].done->load()) {
            workers_[i].thread.join();
            workers_.erase(workers_.begin() + (long)i);
        } else {
            i++;
        }
    }
}

void UpdateServerSim::Serve(int fd, std::shared_ptr<std::atomic<bool>> done)
{
    {
        sConnection connection(fd, static_cast<SSL_CTX*>(tls_));
        std::string request;
        char buffer[4096];
        while (connection.ok() && request.find("\r\n\r\n") == std::string::npos && request.size() < sMaxRequestBytes) {
            ssize_t n = connection.Read(buffer, sizeof(buffer));
            if (n <= 0)
                break;
            request.append(buffer, (size_t)n);
        }
        size_t lineEnd = request.find("\r\n");
        std::string target;
        if (connection.ok() && lineEnd != std::string::npos && request.compare(0, 4, "GET ") == 0) {
            std::string first = request.substr(4, lineEnd - 4);
            target = first.substr(0, first.find(' '));
        }
        if (!target.empty()) {
            Reply reply = Answer(target);
            last_activity_ms_ = aTime_MonoMS();
            std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + sReason(reply.status) +
                               "\r\nContent-Type: text/plain\r\nContent-Length: " +
                               std::to_string(reply.body.size() + (reply.stall ? 64 : 0)) +
                               "\r\nConnection: close\r\n\r\n";
            if (reply.drip) {
                // Two bytes a second until the body is out, the stall time ends or the server stops.
                bool ok = connection.WriteAll(head);
                const uint64_t end = aTime_MonoMS() + (uint64_t)options_.stall_ms;
                for (size_t at = 0; ok && at < reply.body.size() && aTime_MonoMS() < end; at += 2) {
                    ok = connection.WriteAll(reply.body.substr(at, 2));
                    std::unique_lock<std::mutex> lock(mutex_);
                    if (stopped_cv_.wait_for(lock, std::chrono::milliseconds(1000), [this] { return stop_.load(); }))
                        break;
                }
            } else if (connection.WriteAll(head + reply.body) && reply.stall) {
                std::unique_lock<std::mutex> lock(mutex_);
                stopped_cv_.wait_for(lock, std::chrono::milliseconds(options_.stall_ms), [this] { return stop_.load(); });
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < connections_.size(); i++)
        if (connections_[i] == fd) {
            connections_.erase(connections_.begin() + (long)i);
            break;
        }
    close(fd);
    last_activity_ms_ = aTime_MonoMS();
    *done = true;
}

UpdateServerSim::Reply UpdateServerSim::Answer(const std::string& target)
{
    const std::map<std::string, std::string> query = sQuery(target);
    auto opIt = query.find("op");
    const std::string op = opIt == query.end() ? "" : opIt->second;
    Fault fault = FAULT_NONE;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(target);
        auto it = faults_.find(op);
        if (it == faults_.end())
            it = faults_.find("");
        if (it != faults_.end())
            fault = it->second;
    }
    Reply reply;
    switch (fault) {
    case FAULT_NOT_FOUND:
        reply.status = 404;
        reply.body = "Not Found: " + target.substr(0, target.find('?')) + "\n";
        return reply;
    case FAULT_NOT_OK:
        reply.body = "error\nrequest refused\n";
        return reply;
    case FAULT_EMPTY_BODY:
        return reply;
    case FAULT_STALL:
        reply.body = "ok\n";
        reply.stall = true;
        return reply;
    case FAULT_DRIP: {
        Reply real = AnswerCatalogue(op, query);
        real.drip = true;
        return real;
    }
    case FAULT_WRAPPED_BASE64: {
        Reply real = AnswerCatalogue(op, query);
        if (op == "bird" && real.body.compare(0, 3, "ok\n") == 0) {
            // Base64 as mail encoders write it: a line break after every 76 characters.
            std::string text = real.body.substr(3);
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            real.body = "ok\n";
            for (size_t at = 0; at < text.size(); at += 76)
                real.body += text.substr(at, 76) + "\n";
        }
        return real;
    }
    case FAULT_GARBAGE_BASE64:
        if (op == "bird") {
            reply.body = "ok\n@@@@####!!!!not-base64\n";
            return reply;
        }
        break;
    case FAULT_NONE:
        break;
    }
    return AnswerCatalogue(op, query);
}

UpdateServerSim::Device* UpdateServerSim::FindDevice(const std::string& serial_text)
{
    uint32_t serial = 0;
    if (!sParseHex32(serial_text, &serial))
        return nullptr;
    auto it = devices_.find(serial);
    return it == devices_.end() ? nullptr : &it->second;
}

bool UpdateServerSim::ReadBuild(const Build& build, std::string* content)
{
    if (build.path.empty()) {
        *content = build.content;
        return true;
    }
    std::ifstream in(build.path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream bytes;
    bytes << in.rdbuf();
    *content = bytes.str();
    return true;
}

UpdateServerSim::Reply UpdateServerSim::AnswerCatalogue(const std::string& op,
                                                        const std::map<std::string, std::string>& query)
{
    auto get = [&query](const char* key) {
        auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    auto latestOf = [](const Device& device) {
        uint32_t latest = device.latest;
        for (const Build& b : device.builds)
            if (device.latest == 0 && b.number > latest)
                latest = b.number;
        return latest;
    };
    Reply reply;
    std::unique_lock<std::mutex> lock(mutex_);
    if (op == "hi") {
        reply.body = "ok\n";
        return reply;
    }
    if (op == "fix") {
        std::stringstream words(get("fp"));
        uint32_t fp[4];
        std::string word;
        for (int i = 0; i < 4; i++)
            if (!(words >> word) || !sParseHex32(word, &fp[i])) {
                reply.body = "error\nbad fingerprint\n";
                return reply;
            }
        for (const auto& entry : devices_)
            if (entry.second.has_fingerprint && memcmp(entry.second.fingerprint, fp, sizeof(fp)) == 0) {
                char text[64];
                snprintf(text, sizeof(text), "ok\n%08X\n%u\n", entry.first, latestOf(entry.second));
                reply.body = text;
                return reply;
            }
        reply.body = "error\nunknown fingerprint\n";
        return reply;
    }
    if (op != "qu" && op != "bird" && op != "builds") {
        reply.status = 400;
        reply.body = "error\nunknown request\n";
        return reply;
    }
    Device* device = FindDevice(get("sn"));
    if (device == nullptr) {
        reply.body = "error\nunknown device\n";
        return reply;
    }
    if (op == "qu") {
        const std::string latest = device->latest_text.empty() ? std::to_string(latestOf(*device)) : device->latest_text;
        reply.body = "ok\n" + latest + "\n" + device->firmware + "\n";
    } else if (op == "builds") {
        reply.body = "ok\n";
        for (const Build& b : device->builds)
            reply.body += std::to_string(b.number) + ";" + b.version + "\n";
    } else {
        uint32_t number = 0;
        const Build* build = nullptr;
        if (sParseDec32(get("bld"), &number))
            for (const Build& b : device->builds)
                if (b.number == number)
                    build = &b;
        if (get("fw") != device->firmware) {
            reply.body = "error\nfirmware does not match the device\n";
            return reply;
        }
        if (build == nullptr) {
            reply.body = "error\nno such build\n";
            return reply;
        }
        const Build copy = *build;
        lock.unlock();  // reading and encoding a large build needs no lock
        std::string content;
        size_t length = 0;
        char* text = nullptr;
        if (!ReadBuild(copy, &content) || content.empty() ||
            (text = base64_encode((const unsigned char*)content.data(), content.size(), &length)) == nullptr) {
            reply.body = "error\nbuild file unavailable\n";
            return reply;
        }
        reply.body = "ok\n" + std::string(text, length) + "\n";
        free(text);
    }
    return reply;
}
