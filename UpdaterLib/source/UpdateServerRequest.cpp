#include "UpdateServerRequest.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerReply.h"

const char* const UpdateServerRequest::default_url = "http://" UPDATE_SERVER_HOST "/cgi/u";

namespace {

thread_local std::string tTransferError;
thread_local bool tTimedOut = false;
thread_local std::string tFailure;

typedef std::map<std::string, std::string> Parameters;

std::string sSerial(unsigned int serial_number)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial_number);
    return text;
}

// Why a reply that arrived is refused: its first line (printable characters only, cut short).
std::string sNotOk(const std::vector<std::string>& lines)
{
    std::string first;
    if (!lines.empty())
        for (char c : lines.front().substr(0, 60))
            first += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (first.empty())
        return "The update server's reply was empty, not \"ok\"";
    return "The update server answered \"" + first + "\", not \"ok\"";
}

// Runs one request and checks its reply. On success fills lines with the reply's lines.
bool sExchange(const char* name, const char* url, const Parameters& parameters, std::vector<std::string>& lines)
{
    tTransferError.clear();
    tTimedOut = false;
    tFailure.clear();
    try {
        HTTPResponse response = HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, parameters);
        if (response.get_status() != 200) {
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", (int)response.get_status(), response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, (int)response.get_status(),
                         response.get_response());
            tFailure = "The update server answered HTTP status " + std::to_string((int)response.get_status());
            return false;
        }
        lines = UpdateServerReply::Lines(response.body());
        if (!UpdateServerReply::IsOk(lines)) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
            tFailure = sNotOk(lines);
            return false;
        }
        return true;
    } catch (const std::runtime_error& e) {
        tTransferError = e.what();
        tTimedOut = dynamic_cast<const HTTPTimeoutError*>(&e) != nullptr;
        tFailure = tTimedOut ? tTransferError : "The update server could not be reached: " + tTransferError;
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

}  // namespace

std::string UpdateServerRequest::last_transfer_error()
{
    return tTransferError;
}

std::string UpdateServerRequest::last_failure()
{
    return tFailure;
}

bool UpdateServerRequest::last_transfer_timed_out()
{
    return tTimedOut;
}

bool UpdateServerRequest::ping(const char* url)
{
    std::vector<std::string> lines;
    return sExchange("ping", url, {{"op", "hi"}, {"rv", "2"}}, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial_number, std::string& build, std::string& fw, const char* url)
{
    std::vector<std::string> lines;
    if (!sExchange("QueryBuild", url, {{"op", "qu"}, {"sn", sSerial(serial_number)}}, lines))
        return false;
    UpdateServerReply::QueryBuild(lines, build, fw);
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serial_number, std::string fw, std::string bld, std::string& data,
                                   const char* url, bool no_cal)
{
    data.clear();
    std::vector<std::string> lines;
    const Parameters parameters = {{"bld", bld},
                                   {"fw", fw},
                                   {"no_cal", no_cal ? "true" : "false"},
                                   {"op", "bird"},
                                   {"sn", sSerial(serial_number)}};
    if (!sExchange("GetBuild", url, parameters, lines))
        return false;
    UpdateServerReply::GetBuild(lines, data);
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serial_number, std::map<std::string, std::string>& builds,
                                       const char* url)
{
    builds.clear();
    std::vector<std::string> lines;
    if (!sExchange("GetBuildList", url, {{"op", "builds"}, {"sn", sSerial(serial_number)}}, lines))
        return false;
    UpdateServerReply::GetBuildList(lines, builds);
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, unsigned int* serial_number,
                                          unsigned int* latest_build, const char* url)
{
    if (fingerprint == nullptr)
        return false;
    char fp[64];
    snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    std::vector<std::string> lines;
    if (!sExchange("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, lines))
        return false;
    uint32_t serial = serial_number ? *serial_number : 0, build = latest_build ? *latest_build : 0;
    UpdateServerReply::GetRecoveryInfo(lines, &serial, &build);
    if (serial_number)
        *serial_number = serial;
    if (latest_build)
        *latest_build = build;
    return true;
}
