// The result of one HTTP GET: the request URL, the status code and the body as received.
#ifndef UPDATER_HTTP_RESPONSE_H
#define UPDATER_HTTP_RESPONSE_H

#include <cstddef>
#include <cstdint>
#include <string>

class HTTPResponse {
  public:
    explicit HTTPResponse(char const* request_url);

    const char* get_request() const { return request.c_str(); }
    int64_t get_status() const { return status; }
    void set_status(int64_t code) { status = code; }
    // The body as a modifiable, NUL-terminated buffer of body_size() bytes.
    char* get_response() { return &response[0]; }
    const std::string& body() const { return response; }
    size_t body_size() const { return response.size(); }

    // Appends received bytes to the body.
    void process(const char* bytes, size_t count) { response.append(bytes, count); }

  private:
    std::string request;
    int64_t status;
    std::string response;
};

#endif
