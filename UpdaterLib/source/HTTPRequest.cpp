#include "HTTPRequest.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

std::atomic<long> sConnectTimeoutMs{10000};
std::atomic<long> sStallSeconds{60};

void sGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct sReceiver {
    HTTPResponse* response;
    bool too_large;
};

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

    sReceiver receiver = {&response, false};
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
    sSetCertificateAuthorities(handle, rc);

    Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
    if (rc == CURLE_OK)
        rc = curl_easy_perform(handle);
    if (rc == CURLE_OK) {
        long code = 0;
        rc = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
        response.set_status(code);
    }
    if (rc == CURLE_OPERATION_TIMEDOUT)
        throw HTTPTimeoutError(sFailureText(handle, rc, receiver, url ? url : ""));
    if (rc != CURLE_OK)
        throw std::runtime_error(sFailureText(handle, rc, receiver, url ? url : ""));
    return response;
}
