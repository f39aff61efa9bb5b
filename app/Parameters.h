// Everything the command line can say, and the parsing of it.
#ifndef UPDATER_PARAMETERS_H
#define UPDATER_PARAMETERS_H

#include <cstdint>
#include <string>
#include <vector>
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

typedef uint32_t COMMANDS;

#define CMD_DISCOVER 0x00000001u
#define CMD_UPDATE 0x00000002u
#define CMD_BUILDS 0x00000004u
#define CMD_GET 0x00000008u
#define CMD_INFO 0x00000010u
#define CMD_CHECK 0x00000020u
#define CMD_FINGERPRINT 0x00000040u
#define CMD_OPTION_Z 0x00000080u
#define CMD_HELP 0x80000000u

// A command counts as given when any bit of this mask is set.
#define CMD_ANY_COMMAND 0x000305FFu

// The recovery transport of -t RECOVER.
#define TRANSPORT_RECOVER 255u

class CommandsClass {
  public:
    CommandsClass() : word(0) {}
    bool Set(COMMANDS c)
    {
        word |= c;
        return true;
    }
    bool IsSet(COMMANDS c) const { return (word & c) != 0; }
    uint32_t Word() const { return word; }

  private:
    uint32_t word;
};


struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial_number = 0;
    uint32_t transport = USB;
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0;
    std::string bird_file;
    std::string log_message;
    std::string build;
    bool echo = false;
    std::string server_url;
    bool flag_n = false;
    std::string app_name;
    std::string home_directory;
    std::string log_mode;
    std::string log_file;
    bool log_file_given = false;  // -k: the debug log goes to log_file
    bool override_model_checks = false;
    uint32_t debug_mask = 0;
    bool extended_usage = true;
    bool help_requested = false;
    bool json = false;                    // --json: one JSON document on standard output
    std::vector<uint32_t> serial_numbers;  // -d: every device named, in order, without repeats
    bool all_devices = false;             // -d ALL
    bool verify = false;                  // -V: the update waits for the device to run the file's build
    uint32_t wait_seconds = 60;           // -w: how long -V waits for the device to come back
    uint32_t jobs = 0;                    // -j: at most this many devices at once; 0 for all
};

// Fills the record from the command line. Returns 0 when the command line is acceptable or
// help was asked for, 1 when any option was in error (each error already printed). Values are
// taken whole or refused: -d and -r one to eight hexadecimal digits, -b a decimal number of
// 32 bits, -o one of the listed baud rates.
int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& params);
// The options taken together after a clean parse: several devices only with -U, -G and -I;
// -d ALL only with -U -f and never with -OVERRIDE; one device through a router. 1 (message
// printed) when refused.
int _validate_params(UpdaterDisplayInterface& display, Parameters& params);
// The items of a comma-separated list (empty items kept, so that they are refused).
std::vector<std::string> _split_list(const std::string& text);
int _release_params(Parameters& params);

// Every option word the command line knows ("-B", ..., "--help"), in the table's order; the man
// page and the shell completion are checked against it.
std::vector<std::string> _option_words();

// The value of a text of hexadecimal (or decimal) digits, truncated to 32 bits, when every
// character is such a digit (then *end points at the text's end); else 0 and *end untouched.
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);
// -m: a module address on the module network, hexadecimal (optional "0x", at most two digits),
// even, 02 to FC. False, *address untouched, for anything else.
bool _module_address_arg(const char* text, uint8_t* address);

#endif
