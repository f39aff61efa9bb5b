// The update server's five requests. Each is one HTTP GET of the server's script with query
// parameters, answered by a text reply whose first line says "ok". The operations share no
// state and may run on any thread; none throws: every failure is logged under DEBUG_ServerComm
// and reported as false.
#ifndef UPDATER_UPDATE_SERVER_REQUEST_H
#define UPDATER_UPDATE_SERVER_REQUEST_H

#include <cstdint>
#include <map>
#include <string>

// The update server used when none is named.
#define UPDATE_SERVER_HOST "update.vantorix.com"
#define UPDATE_SERVER_PORT 80

class UpdateServerRequest {
  public:
    // Used when a request is given no base URL.
    static const char* const default_url;

    static bool ping(const char* url);
    static bool QueryBuild(unsigned int serial_number, std::string& build, std::string& fw, const char* url);
    static bool GetBuild(unsigned int serial_number, std::string fw, std::string bld, std::string& data,
                         const char* url, bool no_cal);
    static bool GetBuildList(unsigned int serial_number, std::map<std::string, std::string>& builds,
                             const char* url);
    static bool GetRecoveryInfo(const uint32_t* fingerprint, unsigned int* serial_number, unsigned int* latest_build,
                                const char* url);

    // The text of the transfer failure (no connection, time-out, stall...) of the last request
    // made on the calling thread, empty when that request got a reply.
    static std::string last_transfer_error();
    // Why the last request made on the calling thread failed, in the user's terms: the transfer
    // failure, the HTTP status, or the reply that was not "ok". Empty after a success.
    static std::string last_failure();
    // True when that failure was a connect time-out or a stalled transfer.
    static bool last_transfer_timed_out();
};

#endif
