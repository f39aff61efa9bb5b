#include "Parameters.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "OptionParser.h"
#include "aDirectory.h"

namespace {

enum { ID_HELP = 0, ID_COMMAND = 1, ID_PARAMETER = 2 };

const OptionEntry OPTIONS[] = {
    {"-B", ID_COMMAND, false},   {"-D", ID_COMMAND, false},   {"-G", ID_COMMAND, false},
    {"-I", ID_COMMAND, false},   {"-U", ID_COMMAND, false},   {"-OVERRIDE", ID_COMMAND, false},
    {"-N", ID_COMMAND, false},   {"-Y", ID_COMMAND, false},   {"-C", ID_COMMAND, false},
    {"-h", ID_HELP, false},      {"-H", ID_HELP, false},      {"-n", ID_PARAMETER, false},
    {"-X", ID_PARAMETER, true},  {"-Z", ID_PARAMETER, true},  {"-b", ID_PARAMETER, true},
    {"-d", ID_PARAMETER, true},  {"-t", ID_PARAMETER, true},  {"-f", ID_PARAMETER, true},
    {"-r", ID_PARAMETER, true},  {"-s", ID_PARAMETER, true},  {"-o", ID_PARAMETER, true},
    {"-e", ID_PARAMETER, false}, {"-l", ID_PARAMETER, true},  {"-k", ID_PARAMETER, true},
    {"-u", ID_PARAMETER, true},  {"--help", ID_HELP, false},  {"-m", ID_PARAMETER, true},
    {"--json", ID_PARAMETER, false}, {"-V", ID_PARAMETER, false}, {"-w", ID_PARAMETER, true},
    {"-j", ID_PARAMETER, true},
};

uint32_t sDigitsValue(const char* text, const char** end, const char* digits, uint32_t base)
{
    if (text == nullptr || end == nullptr)
        return 0;
    if (text[0] == '\0')
        return 0;
    uint32_t value = 0;
    const char* p = text;
    for (; *p; p++) {
        const char* d = strchr(digits, *p);
        if (d == nullptr)
            return 0;
        uint32_t digit;
        if (*p >= '0' && *p <= '9')
            digit = (uint32_t)(*p - '0');
        else if (*p >= 'a' && *p <= 'f')
            digit = (uint32_t)(*p - 'a' + 10);
        else
            digit = (uint32_t)(*p - 'A' + 10);
        value = value * base + digit;  // truncated to 32 bits
    }
    *end = p;
    return value;
}

// The value of a text that is one whole number in the base, at most maxDigits digits and no
// larger than 32 bits. False for an empty text, a foreign character or a value that does not fit.
bool sExactNumber(const char* text, uint32_t base, size_t maxDigits, uint32_t* value)
{
    const size_t length = strlen(text);
    if (length == 0 || length > maxDigits)
        return false;
    const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
    uint64_t total = 0;
    for (const char* p = text; *p; p++) {
        if (strchr(digits, *p) == nullptr)
            return false;
        const uint32_t digit = (*p >= '0' && *p <= '9') ? (uint32_t)(*p - '0') : (uint32_t)((*p | 0x20) - 'a' + 10);
        total = total * base + digit;
        if (total > 0xFFFFFFFFull)
            return false;
    }
    *value = (uint32_t)total;
    return true;
}

// -d and -r: an optional "0x" prefix, then one to eight hexadecimal digits. 0 means invalid: a
// longer text is refused rather than cut to another device's serial number.
uint32_t sSerialArg(UpdaterDisplayInterface& display, const std::string& value, const char* prefixNote,
                    const char* invalidMessage)
{
    const char* text = value.c_str();
    if (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0) {
        Log::log(DEBUG_Updater, "%s", prefixNote);
        text += 2;
    }
    uint32_t serial = 0;
    if (!sExactNumber(text, 16, 8, &serial))
        serial = 0;
    if (serial == 0)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, invalidMessage, text);
    return serial;
}

// The serial line rates the recovery accepts.
const uint32_t BAUD_RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

}  // namespace

uint32_t _get_hex_arg(const char* text, const char** end)
{
    return sDigitsValue(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, const char** end)
{
    return sDigitsValue(text, end, "0123456789", 10);
}

bool _module_address_arg(const char* text, uint8_t* address)
{
    if (text == nullptr)
        return false;
    if (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0)
        text += 2;
    if (strlen(text) > 2)
        return false;
    const char* end = nullptr;
    const uint32_t value = _get_hex_arg(text, &end);
    if (end == nullptr || value < 2 || value > 0xFC || (value & 1) != 0)
        return false;
    *address = (uint8_t)value;
    return true;
}

std::vector<std::string> _option_words()
{
    std::vector<std::string> words;
    for (const OptionEntry& option : OPTIONS)
        words.push_back(option.text);
    return words;
}

std::vector<std::string> _split_list(const std::string& text)
{
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return items;
}

int _validate_params(UpdaterDisplayInterface& display, Parameters& params)
{
    const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
    const bool several = params.all_devices || params.serial_numbers.size() > 1;
    if (several && (params.commands.IsSet(CMD_BUILDS) || params.commands.IsSet(CMD_DISCOVER) ||
                    params.commands.IsSet(CMD_FINGERPRINT) || params.transport == TRANSPORT_RECOVER)) {
        display.message(ERROR, "Several devices (-d with a list or ALL) only go with -U, -G and -I");
        return 1;
    }
    if (params.all_devices) {
        if (!params.commands.IsSet(CMD_UPDATE) || params.bird_file.empty() || params.commands.IsSet(CMD_GET) ||
            params.commands.IsSet(CMD_INFO)) {
            display.message(ERROR, "-d ALL only goes with -U -f <bird file>");
            return 1;
        }
        if (params.override_model_checks) {
            display.message(ERROR, "-d ALL cannot be used with -OVERRIDE: every device must fit the file's model");
            return 1;
        }
    }
    // The recovered device is looked for by its serial number: from a file, only -d names it.
    if (params.verify && params.transport == TRANSPORT_RECOVER && params.commands.IsSet(CMD_UPDATE) &&
        !params.bird_file.empty() && params.serial_number == 0) {
        display.message(ERROR, "-V after a recovery from a file needs the device's serial number: give it with -d");
        return 1;
    }
    if (params.router_serial_number != 0 && several) {
        display.message(ERROR, "Only one device can be updated through a router");
        return 1;
    }
    return 0;
}

int _release_params(Parameters&)
{
    return 0;
}

static std::string sAppName(const char* word)
{
    std::string name = word ? word : "";
    size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

namespace {

// Step: the record's defaults, before any option is read.
void sDefaults(Parameters& params, int argc, const char* const* argv)
{
    params = Parameters();
    params.server_url = UpdateServerRequest::default_url;
    params.app_name = sAppName(argc > 0 ? argv[0] : nullptr);
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof(home)) == aErrNone)
        params.home_directory = home;
    params.log_mode = "a+";
    params.log_file = "Updater.log";
}

// Step: one command option (id 1). False (with its message) for a command this program lacks.
bool sCommandOption(UpdaterDisplayInterface& display, const char* name, Parameters& params)
{
    switch (name[1]) {
    case 'B': params.commands.Set(CMD_BUILDS); break;
    case 'C': params.commands.Set(CMD_CHECK); break;
    case 'D': params.commands.Set(CMD_DISCOVER); break;
    case 'G': params.commands.Set(CMD_GET); break;
    case 'I': params.commands.Set(CMD_INFO); break;
    case 'N': params.commands.Set(CMD_FINGERPRINT); break;
    case 'U': params.commands.Set(CMD_UPDATE); break;
    case 'O': params.override_model_checks = true; break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", name);
        return false;
    }
    return true;
}

// Step: one option with a value (id 2). False (with its message) when the value is refused.
bool sValueOption(UpdaterDisplayInterface& display, const char* name, const std::string& value, Parameters& params)
{
    if (strcmp(name, "--json") == 0) {
        params.json = true;
        display.keep_standard_output(true);  // from here on standard output carries only the document
        return true;
    }
    switch (name[1]) {
    case 'd': {
        // One serial number, a comma-separated list of them, or ALL (every device found).
        params.serial_numbers.clear();
        params.all_devices = value == "ALL";
        params.serial_number = 0;
        if (params.all_devices)
            break;
        bool valid = true;
        for (const std::string& item : _split_list(value)) {
            const uint32_t serial = sSerialArg(display, item, "Discarding '0x' serial number prefix\n",
                                               "Invalid serial number obtained from argument [%s]");
            if (serial == 0) {
                valid = false;
                continue;
            }
            if (std::find(params.serial_numbers.begin(), params.serial_numbers.end(), serial) ==
                params.serial_numbers.end())
                params.serial_numbers.push_back(serial);
        }
        if (!params.serial_numbers.empty())
            params.serial_number = params.serial_numbers.front();
        return valid;
    }
    case 'V': params.verify = true; break;
    case 'w':
    case 'j': {
        // -w: seconds a verified update waits for the device to come back; -j: at most this
        // many devices updated at once. Both whole positive numbers.
        uint32_t number = 0;
        const uint32_t limit = name[1] == 'w' ? 3600 : 1024;
        if (!sExactNumber(value.c_str(), 10, 4, &number) || number == 0 || number > limit) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            name[1] == 'w' ? "Invalid wait obtained from argument [%s]: must be 1 to 3600 seconds"
                                           : "Invalid job count obtained from argument [%s]: must be 1 to 1024",
                            value.c_str());
            return false;
        }
        if (name[1] == 'w')
            params.wait_seconds = number;
        else
            params.jobs = number;
        break;
    }
    case 'r':
        params.router_serial_number =
            sSerialArg(display, value, "Discarding '0x' router serial number prefix\n",
                       "Invalid router serial number obtained from argument [%s]");
        if (params.router_serial_number == 0)
            return false;
        break;
    case 'b': {
        // A build number is taken whole or refused: no digits dropped, no wrap at 32 bits.
        uint32_t build = 0;
        if (sExactNumber(value.c_str(), 10, 10, &build)) {
            params.build = std::to_string(build);
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid build number obtained from argument [%s]", value.c_str());
            return false;
        }
        break;
    }
    case 'o': {
        uint32_t rate = 0;
        bool listed = false;
        if (sExactNumber(value.c_str(), 10, 10, &rate))
            for (uint32_t known : BAUD_RATES)
                listed = listed || known == rate;
        if (listed) {
            params.baud_rate = rate;
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid baud rate obtained from argument [%s]\nMust be one of the following: 2400, "
                            "4800, 9600, 19200, 38400, 57600, 115200, 230400",
                            value.c_str());
            return false;
        }
        break;
    }
    case 't':
        params.transport_given = true;
        if (strncmp(value.c_str(), "USB", 3) == 0) {
            params.transport = USB;
        } else if (strncmp(value.c_str(), "TCP", 3) == 0) {
            params.transport = TCPIP;
        } else if (strncmp(value.c_str(), "RECOVER", 7) == 0) {
            params.transport = TRANSPORT_RECOVER;
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                            value.c_str());
            params.transport = INVALID;
            return false;
        }
        break;
    case 'X': {
        params.extended_usage = true;
        const char* text = value.c_str();
        char* rest = nullptr;
        errno = 0;
        unsigned long mask;
        if (strncmp(text, "0x", 2) == 0 || strncmp(text, "0X", 2) == 0)
            mask = strtoul(text + 2, &rest, 16);
        else
            mask = strtoul(text, &rest, 10);
        params.debug_mask = (uint32_t)mask;
        if (rest != nullptr && *rest != '\0')
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid format for \"%s\" parameter, unprocessed characters [%s]", name, rest);
        else
            Log::ActivatePackage(params.debug_mask);
        break;
    }
    case 'Z':
        params.commands.Set(CMD_OPTION_Z);
        break;
    case 'f': params.bird_file = value; break;
    case 's': params.serial_port = value; break;
    case 'l': params.log_message = value; break;
    case 'k':
        params.log_file = value;
        params.log_file_given = true;
        break;
    case 'm':
        if (!_module_address_arg(value.c_str(), &params.module_address)) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid module address obtained from argument [%s]: must be an even hexadecimal "
                            "address from 02 to FC",
                            value.c_str());
            return false;
        }
        break;
    case 'u': params.server_url = value; break;
    case 'e': params.echo = true; break;
    case 'n': params.flag_n = true; break;
    default: break;
    }
    return true;
}

}  // namespace

// Steps: defaults, each option in turn (help ends the reading), the -k log file, the log of the
// command line, the validation hook.
int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& params)
{
    sDefaults(params, argc, argv);
    bool failed = false;
    OptionParser parser(OPTIONS, sizeof(OPTIONS) / sizeof(OPTIONS[0]), argc, argv);
    std::string value;
    while (const OptionEntry* option = parser.Next(value)) {
        if (option->id == ID_HELP) {
            params.commands.Set(CMD_HELP);
            params.help_requested = true;
            return 0;
        }
        const bool ok = option->id == ID_COMMAND ? sCommandOption(display, option->text, params)
                                                 : sValueOption(display, option->text, value, params);
        failed = failed || !ok;
    }

    // The debug log goes to the -k file before anything is logged; a file that cannot be
    // opened ends the run here.
    if (!failed && params.log_file_given && !Log::SetOutputFile(params.log_file.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not open log file [%s]: %s",
                        params.log_file.c_str(), strerror(errno));
        failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.app_name.c_str());
    for (const std::string& word : parser.Reordered())
        Log::log(DEBUG_APP, "\t[%s]\n", word.c_str());
    if (failed)
        return 1;
    return _validate_params(display, params);
}
