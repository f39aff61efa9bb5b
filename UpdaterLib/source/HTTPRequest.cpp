#include "HTTPRequest.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Log.h"
#include "aTime.h"

namespace {

std::atomic<long> sConnectTimeoutMs{10000};
std::atomic<long> sStallSeconds{60};
std::atomic<long> sDeadlineSeconds{900};
std::atomic<long> sMinAverage{1024};

void sGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct sReceiver {
    HTTPResponse* response;
    bool too_large;
    uint64_t start_ms;
    uint64_t last_received;
    uint64_t last_change_ms;
    std::string limit;  // why the progress check ended the transfer
};

// libcurl calls this at least once a second, also while nothing arrives.
int _progress(void* context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t)
{
    sReceiver* receiver = static_cast<sReceiver*>(context);
    const uint64_t now = aTime_MonoMS();
    const uint64_t bytes = received > 0 ? (uint64_t)received : 0;
    if (bytes != receiver->last_received) {
        receiver->last_received = bytes;
        receiver->last_change_ms = now;
    }
    receiver->limit =
        HTTPRequest::LimitExceeded(now - receiver->start_ms, bytes, now - receiver->last_change_ms);
    return receiver->limit.empty() ? 0 : 1;
}

size_t _rcv_data(char* data, size_t size, size_t count, void* context)
{
    sReceiver* receiver = static_cast<sReceiver*>(context);
    HTTPResponse* response = receiver->response;
    const size_t total = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", (int)size, (int)count,
             (unsigned)(uintptr_t)response, std::string(data, total < 100 ? total : 100).c_str());
    if (response->body_size() + total > HTTPRequest::MAX_BODY) {
        receiver->too_large = true;
        return 0;  // makes libcurl end the transfer with a write error
    }
    response->process(data, total);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", (int)total);
    return total;
}

const char* sEnv(const char* name)
{
    const char* value = getenv(name);
    return (value && value[0]) ? value : nullptr;
}

// Certificate authorities named by the environment, the way the curl program reads them.
void sSetCertificateAuthorities(CURL* curl, CURLcode& rc)
{
    const char* file = sEnv("CURL_CA_BUNDLE");
    if (!file)
        file = sEnv("SSL_CERT_FILE");
    if (file && rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_CAINFO, file);
    const char* dir = sEnv("SSL_CERT_DIR");
    if (dir && rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_CAPATH, dir);
}

// A clearer text than libcurl's for the failures a user can do something about.
std::string sFailureText(CURL* curl, CURLcode rc, const sReceiver& receiver, const char* url)
{
    if (receiver.too_large)
        return "Reply from " + std::string(url) + " is larger than " + std::to_string(HTTPRequest::MAX_BODY >> 20) +
               " MiB";
    if (rc == CURLE_ABORTED_BY_CALLBACK && !receiver.limit.empty())
        return receiver.limit;
    if (rc == CURLE_OPERATION_TIMEDOUT) {
        curl_off_t connected = 0;
        curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected);
        if (connected == 0)
            return "No connection to the update server within " + std::to_string(sConnectTimeoutMs.load()) + " ms";
        return "The update server stopped sending: no data for " + std::to_string(sStallSeconds.load()) +
               " s, transfer aborted";
    }
    return curl_easy_strerror(rc);
}

}  // namespace

void HTTPRequest::SetTimeouts(long connect_ms, long stall_seconds)
{
    sConnectTimeoutMs = connect_ms > 0 ? connect_ms : 1;
    sStallSeconds = stall_seconds > 0 ? stall_seconds : 1;
}

long HTTPRequest::ConnectTimeoutMs()
{
    return sConnectTimeoutMs.load();
}

long HTTPRequest::StallTimeoutSeconds()
{
    return sStallSeconds.load();
}

void HTTPRequest::SetLimits(long deadline_seconds, long min_average_bytes_per_second)
{
    sDeadlineSeconds = deadline_seconds > 0 ? deadline_seconds : 1;
    sMinAverage = min_average_bytes_per_second > 0 ? min_average_bytes_per_second : 0;
}

long HTTPRequest::DeadlineSeconds()
{
    return sDeadlineSeconds.load();
}

long HTTPRequest::MinAverageBytesPerSecond()
{
    return sMinAverage.load();
}

std::string HTTPRequest::LimitExceeded(uint64_t elapsed_ms, uint64_t received, uint64_t idle_ms)
{
    const uint64_t deadline_ms = (uint64_t)sDeadlineSeconds.load() * 1000;
    if (elapsed_ms >= deadline_ms)
        return "The transfer from the update server took longer than " + std::to_string(sDeadlineSeconds.load()) +
               " s, transfer aborted";
    const uint64_t grace_ms = (uint64_t)sStallSeconds.load() * 1000;
    if (idle_ms >= grace_ms)
        return "The update server stopped sending: no data for " + std::to_string(sStallSeconds.load()) +
               " s, transfer aborted";
    const uint64_t minimum = (uint64_t)sMinAverage.load();
    if (elapsed_ms >= grace_ms && elapsed_ms > 0 && received * 1000 < minimum * elapsed_ms)
        return "The update server sends too slowly: " + std::to_string(received) + " bytes in " +
               std::to_string(elapsed_ms / 1000) + " s, at least " + std::to_string(minimum) +
               " bytes/s are needed, transfer aborted";
    return std::string();
}

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& parameters)
{
    std::string text = url ? url : "";
    if (!parameters.empty())
        text += "?";
    for (const auto& parameter : parameters)
        text += parameter.first + "=" + parameter.second + "&";
    return text;
}

HTTPResponse HTTPRequest::GET(const char* url, const std::map<std::string, std::string>& parameters)
{
    sGlobalInit();
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    const std::string request = BuildURL(url, parameters);
    HTTPResponse response(request.c_str());
    if (!curl)
        throw std::runtime_error("Could not create curl instance");

    const uint64_t start = aTime_MonoMS();
    sReceiver receiver = {&response, false, start, 0, start, std::string()};
    CURL* handle = curl.get();
    CURLcode rc = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &receiver);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_URL, request.c_str());
    // Bounded waits; no signals, since transfers run on worker threads.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, sConnectTimeoutMs.load());
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, sStallSeconds.load());
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, _progress);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &receiver);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    // The progress check ends the transfer at its deadline; libcurl's own bound is the backstop.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, (sDeadlineSeconds.load() + 5) * 1000L);
    sSetCertificateAuthorities(handle, rc);

    Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
    if (rc == CURLE_OK)
        rc = curl_easy_perform(handle);
    if (rc == CURLE_OK) {
        long code = 0;
        rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
        response.set_status(code);
    }
    if (rc == CURLE_OPERATION_TIMEDOUT || (rc == CURLE_ABORTED_BY_CALLBACK && !receiver.limit.empty()))
        throw HTTPTimeoutError(sFailureText(handle, rc, receiver, url ? url : ""));
    if (rc != CURLE_OK)
        throw std::runtime_error(sFailureText(handle, rc, receiver, url ? url : ""));
    return response;
}
