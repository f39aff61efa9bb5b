// Parsing of the update server's text replies. A reply body is split into lines at "\n"
// (empty lines skipped); the first line must begin with "ok", the further lines depend on the
// request.
#ifndef UPDATER_UPDATE_SERVER_REPLY_H
#define UPDATER_UPDATE_SERVER_REPLY_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace UpdateServerReply {

// The non-empty lines of a body, split at "\n" only (a carriage return stays in its line).
std::vector<std::string> Lines(const std::string& body);

// True when there is a first line and it begins with "ok".
bool IsOk(const std::vector<std::string>& lines);

// Line 2 into build (as it is), line 3 up to its first carriage return into firmware; each is
// set only when its line is present.
void QueryBuild(const std::vector<std::string>& lines, std::string& build, std::string& firmware);

// Line 2 (the Base64 content) into content when present.
void GetBuild(const std::vector<std::string>& lines, std::string& content);

// Every line after the first that is longer than 2 characters, as BUILD;VERSION. Fields end at
// ";", carriage return or newline; empty fields are skipped over; a line without a second field
// gives an empty version. The first line for a build wins.
void GetBuildList(const std::vector<std::string>& lines, std::map<std::string, std::string>& builds);

// Line 2 as hexadecimal into *serial_number, line 3 with its base taken from its prefix (0x
// hexadecimal, 0 octal, else decimal) into *build; each set only when its line is present.
void GetRecoveryInfo(const std::vector<std::string>& lines, uint32_t* serial_number, uint32_t* build);

}  // namespace UpdateServerReply

#endif
