// HTTP GET through libcurl's easy interface.
//
// Transfers are bounded: a connection must be made within the connect time-out, a transfer
// that receives nothing for the stall time-out is aborted, so is one whose average speed is
// below the minimum once it has run for the stall time (a server that drips a few bytes a
// second), and every transfer ends by its overall deadline. A server address may be http:// or
// https://; for https the peer's certificate is always verified, against the system's
// certificate authorities or, as for the curl program, the file named by CURL_CA_BUNDLE or
// SSL_CERT_FILE (or the directory named by SSL_CERT_DIR).
#ifndef UPDATER_HTTP_REQUEST_H
#define UPDATER_HTTP_REQUEST_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "HTTPResponse.h"

// A transfer that ran into the connect or the stall time-out, the minimum average speed or the
// overall deadline.
class HTTPTimeoutError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class HTTPRequest {
  public:
    // Performs GET of url?key=value&...& (keys in byte order, values inserted as they are).
    // Throws std::runtime_error with a readable text on any transfer failure (HTTPTimeoutError
    // for a time-out).
    static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& parameters);

    // The request URL GET would use.
    static std::string BuildURL(const char* url, const std::map<std::string, std::string>& parameters);

    // Limits for every later transfer of the process; defaults 10000 ms and 60 s.
    static void SetTimeouts(long connect_ms, long stall_seconds);
    static long ConnectTimeoutMs();
    static long StallTimeoutSeconds();
    // The overall deadline of one transfer and the minimum average speed (bytes a second,
    // checked from the stall time on); defaults 900 s and 1024 bytes/s.
    static void SetLimits(long deadline_seconds, long min_average_bytes_per_second);
    static long DeadlineSeconds();
    static long MinAverageBytesPerSecond();

    // Why a transfer that has run for elapsed_ms with received bytes, the last of them idle_ms
    // ago, must stop now, or empty: the overall deadline, nothing for the stall time, or an
    // average below the minimum after the stall time.
    static std::string LimitExceeded(uint64_t elapsed_ms, uint64_t received, uint64_t idle_ms);

    // Largest body accepted; a longer reply fails the transfer.
    static const size_t MAX_BODY = 256u * 1024u * 1024u;
};

#endif
