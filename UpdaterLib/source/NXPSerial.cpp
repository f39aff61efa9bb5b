#include "NXPSerial.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "RomEcho.h"
#include "aError.h"
#include "aTime.h"

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const NXPSector NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

namespace {

const uint32_t sBaudTable[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
const uint32_t sDefaultBaudIndex = 2;

// Reply budgets: how long the chip may take to answer once the command has left the wire.
const uint32_t REPLY_BUDGET_MS = 100;
const uint32_t ECHO_BUDGET_MS = 100;
const uint32_t COPY_BUDGET_MS = 500;
const uint32_t ERASE_BASE_MS = 500;
const uint32_t ERASE_PER_SECTOR_MS = 250;  // a real part needs about 100 ms
const uint32_t CHECKSUM_BUDGET_MS = 2000;

std::string sPrintable(const char* text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += isprint(c) ? (char)c : ' ';
    }
    return out;
}

void sLogBytes(unsigned package, const char* prefix, const char* text, size_t length)
{
    if (!(Log::ActivePackages() & package))
        return;
    std::string hex;
    for (size_t i = 0; i < length; i++) {
        char b[4];
        snprintf(b, sizeof(b), "%s%02X", i ? " " : "", (unsigned char)text[i]);
        hex += b;
    }
    Log::log(package, "%s[%s] [%s]\n", prefix, hex.c_str(), sPrintable(text, length).c_str());
}

}  // namespace

NXPSerialClass::NXPSerialClass()
    : stream(nullptr), echo(true), baud_rate(0), port_name{0}, device_serial_number{0, 0, 0, 0}, wire_free_at(0)
{
}

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

uint32_t NXPSerialClass::WAIT_TIME_MS(uint32_t bytes, uint32_t baud)
{
    if (baud == 0)
        return 1;
    return (uint32_t)(((uint64_t)bytes * 9000 + 18000) / baud + 1);
}

aErr NXPSerialClass::Connect(const char* port, uint32_t baud)
{
    if (!port)
        return aErrParam;
    if (stream)
        aStream_Destroy(&stream);
    uint32_t index = sDefaultBaudIndex;
    for (uint32_t i = 0; i < sizeof(sBaudTable) / sizeof(sBaudTable[0]); i++)
        if (sBaudTable[i] >= baud) {
            index = i;
            break;
        }
    baud_rate = sBaudTable[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index, baud_rate);
    aErr err = aStream_CreateSerial(port, index, false, aSerial_Bits_8, aSerial_Stop_bits_1, &stream);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port, aError_GetErrorText(err));
        stream = nullptr;
        return err;
    }
    if (strncmp(port_name, port, sizeof(port_name) - 1) != 0) {
        strncpy(port_name, port, sizeof(port_name) - 1);
        port_name[sizeof(port_name) - 1] = 0;
    }
    wire_free_at = aTime_MonoMS();
    return aErrNone;
}

aErr NXPSerialClass::Disconnect()
{
    if (stream)
        aStream_Destroy(&stream);
    return aErrNone;
}

uint64_t NXPSerialClass::Deadline(uint32_t budgetMs) const
{
    uint64_t now = aTime_MonoMS();
    return (wire_free_at > now ? wire_free_at : now) + budgetMs;
}

// One byte, waiting until the deadline; aErrNotReady when none came in time.
aErr NXPSerialClass::ReadByte(uint8_t* byte, uint64_t deadline)
{
    for (;;) {
        aErr err = aStream_Read(stream, byte, 1);
        if (err != aErrNotReady)
            return err;
        uint64_t now = aTime_MonoMS();
        if (now >= deadline)
            return aErrNotReady;
        uint64_t left = deadline - now;
        aErr waited = aStream_Wait(stream, (uint32_t)(left > 50 ? 50 : left));
        if (waited == aErrUnimplemented)
            aTime_MSSleep(1);
        else if (waited == aErrConnection)
            return aErrConnection;
    }
}

aErr NXPSerialClass::Send(const char* text, size_t length, bool readEcho)
{
    if (!stream)
        return aErrConnection;
    sLogBytes(DEBUG_NXPSerial_SR, "Sending:", text, length);
    RomEcho::Text(true, text, length);
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), length);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
        return err;
    }
    // The write returns once the port has the bytes; the line needs 10 bits for each.
    uint64_t now = aTime_MonoMS();
    if (wire_free_at < now)
        wire_free_at = now;
    wire_free_at += baud_rate ? ((uint64_t)length * 10000 + baud_rate - 1) / baud_rate : 0;
    if (readEcho) {
        size_t received = 0;
        GetEcho(text, length, &received);
    }
    return aErrNone;
}

aErr NXPSerialClass::SendCommand(const char* text, uint32_t)
{
    size_t length = strlen(text);
    aErr err = Send(text, length, false);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
        return err;
    }
    if (echo) {
        size_t received = 0;
        GetEcho(text, length, &received);
        if (received < length)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%zu!=%zu]\n", received, length);
    }
    return aErrNone;
}

aErr NXPSerialClass::GetEcho(const char* text, size_t count, size_t* received)
{
    sLogBytes(DEBUG_NXPSerial_E, "GetEcho(", text, count);
    size_t matched = 0;
    std::string arrived;
    // Each echoed character comes back about one character time after it left.
    uint64_t deadline = Deadline(ECHO_BUDGET_MS + WAIT_TIME_MS(1, baud_rate));
    aErr err = aErrNone;
    while (matched < count) {
        uint8_t b;
        err = ReadByte(&b, deadline);
        if (err != aErrNone)
            break;
        // While the echo keeps coming, a busy line or a slow machine is no reason to give up.
        uint64_t alive = aTime_MonoMS() + ECHO_BUDGET_MS;
        if (deadline < alive)
            deadline = alive;
        arrived += (char)b;
        if (b == (uint8_t)text[matched])
            matched++;
        else
            Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", b, (uint8_t)text[matched]);
    }
    Log::log(DEBUG_NXPSerial_E, "recv Echo: %zu of %zu\n", matched, count);
    if (!arrived.empty())
        RomEcho::Text(false, arrived.data(), arrived.size());
    if (received)
        *received = matched;
    return matched == count ? aErrNone : err;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* length, uint32_t budgetMs)
{
    size_t stored = 0;
    aErr err = aErrNone;
    bool terminated = false;
    uint64_t deadline = Deadline(budgetMs);
    while (stored + 1 < size) {
        uint8_t b;
        err = ReadByte(&b, deadline);
        if (err != aErrNone)
            break;
        uint64_t alive = aTime_MonoMS() + REPLY_BUDGET_MS;
        if (deadline < alive)
            deadline = alive;
        if (stored == 0 && b == '\n')
            continue;  // the tail of an echo
        buffer[stored++] = (char)b;
        if (stored >= 2 && buffer[stored - 2] == '\r' && buffer[stored - 1] == '\n') {
            terminated = true;
            break;
        }
    }
    if (size > 0)
        buffer[stored < size ? stored : size - 1] = 0;
    if (length)
        *length = stored;
    sLogBytes(DEBUG_NXPSerial_SR, "GetLine() Received: ", buffer, stored);
    if (stored > 0)
        RomEcho::Text(false, buffer, stored);
    Log::log(DEBUG_NXPSerial_E, "GetLine() %zu %s [%s]\n", stored, terminated ? "term" : "non-term",
             aError_GetErrorText(err));
    if (terminated)
        return aErrNone;
    return err != aErrNone ? err : aErrOverrun;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* length, const char* expected,
                              size_t expectedLength)
{
    if (!stream)
        return aErrConnection;
    if (!expected || expectedLength == 0 || expectedLength > size)
        expectedLength = size;
    uint32_t wait = WAIT_TIME_MS((uint32_t)expectedLength, baud_rate) + 20;
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%zu bytes, %u, %u ms]\n", expectedLength, baud_rate,
             wait);
    uint64_t deadline = Deadline(wait + REPLY_BUDGET_MS);
    size_t stored = 0;
    aErr err = aErrNone;
    bool foreign = false;
    while (stored < expectedLength) {
        uint8_t b;
        err = ReadByte(&b, deadline);
        if (err != aErrNone)
            break;
        if (!IsAnswerByte(b)) {
            // Whatever else comes, this is no ISP answer: nothing is gained by waiting for it.
            buffer[stored++] = (char)b;
            foreign = true;
            break;
        }
        if (stored == 0 && (b == '\n' || b == '\r'))
            continue;
        if (stored < 3 && b == 0)
            continue;
        if (expected && b != (uint8_t)expected[stored])
            Log::log(DEBUG_NXPSerial_E, "Error Test_Serial_Response() Expected byte %zu does not match [[%02X] %c != %c [%02X]]\n",
                     stored, b, isprint(b) ? b : ' ', isprint((unsigned char)expected[stored]) ? expected[stored] : ' ',
                     (uint8_t)expected[stored]);
        buffer[stored++] = (char)b;
        if (stored >= 2 && buffer[stored - 2] == '\r' && buffer[stored - 1] == '\n')
            break;
    }
    sLogBytes(DEBUG_NXPSerial_E, "Response: ", buffer, stored);
    if (stored > 0)
        RomEcho::Text(false, buffer, stored);
    if (length)
        *length = stored;
    if (foreign) {
        Log::log(DEBUG_NXPSerial, "Response() no ISP answer\n");
        return aErrIO;
    }
    return stored == 0 ? (err != aErrNone ? err : aErrNotReady) : aErrNone;
}

// The return code is the number that ends the reply line. Whatever precedes it (the leftover of
// an echo) is ignored; the whole number is read, so "10" (COMPARE_ERROR) is not taken for 0.
aErr NXPSerialClass::GetErrorIndex(const char* line, size_t length)
{
    last_return_code = -1;
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n'))
        length--;
    size_t start = length;
    while (start > 0 && isdigit((unsigned char)line[start - 1]))
        start--;
    if (start == length)
        return aErrParam;
    long code = 0;
    for (size_t i = start; i < length && code <= MAX_ERROR; i++)
        code = code * 10 + (line[i] - '0');
    last_return_code = code <= MAX_ERROR ? (int)code : MAX_ERROR;
    for (size_t i = start; i < length; i++)
        if (line[i] != '0')
            return aErrParam;
    return aErrNone;
}

bool NXPSerialClass::IsAnswerByte(uint8_t byte)
{
    return byte == '\r' || byte == '\n' || byte == 0 || (byte >= 0x20 && byte < 0x7F);
}

const char* NXPSerialClass::GetErrorText(const char* line)
{
    if (!line)
        return ERROR_TEXT[MAX_ERROR];
    long code = strtol(line, nullptr, 0);
    if (code < 0 || code > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

aErr NXPSerialClass::CommandWithCode(const char* text, uint32_t budgetMs, const char* what)
{
    last_return_code = -1;
    aErr err = SendCommand(text);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", what, aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t length = 0;
    err = GetLine(line, sizeof(line), &length, budgetMs);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error no response to [%s] [%s]\n", what, aError_GetErrorText(err));
        return err;
    }
    if (GetErrorIndex(line, length) != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
        return aErrParam;
    }
    return aErrNone;
}

aErr NXPSerialClass::Sync()
{
    static const char SYNC[] = "Synchronized\r\n";
    char buffer[64];
    size_t length = 0;
    aErr err = Send("?", 1, false);
    if (err == aErrNone)
        err = Response(buffer, sizeof(buffer), &length, SYNC, 14);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 "Synchronized", sPrintable(buffer, length).c_str());
        return err;
    }
    if (length < 14 || memcmp(buffer, SYNC, 14) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", "Synchronized");
    }
    err = Send(SYNC, 14, false);
    if (err != aErrNone)
        return err;
    if (echo)
        Response(buffer, sizeof(buffer), &length, SYNC, 13);
    memset(buffer, 0, sizeof(buffer));
    err = Response(buffer, sizeof(buffer), &length, "OK\r\n", 4);
    if (err != aErrNone || length < 2 || memcmp(buffer, "OK", 2) != 0) {
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", sPrintable(buffer, length).c_str(),
                 "OK");
        return aErrIO;
    }
    char crystal[32];
    int khz = (int)(CRYSTAL_DEFAULT * 1000 + 0.5f);
    int n = snprintf(crystal, sizeof(crystal), "%d\r\n", khz);
    err = Send(crystal, (size_t)n, false);
    if (err != aErrNone)
        return err;
    if (echo)
        Response(buffer, sizeof(buffer), &length, crystal, (size_t)n - 1);
    memset(buffer, 0, sizeof(buffer));
    err = Response(buffer, sizeof(buffer), &length, "OK\r\n", 4);
    if (err == aErrNone && (length < 2 || memcmp(buffer, "OK", 2) != 0))
        err = aErrIO;
    Log::log(DEBUG_NXPSerial, "Sync: %s\n", aError_GetErrorText(err));
    return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor)
{
    aErr err = CommandWithCode("K\r\n", REPLY_BUDGET_MS, "K");
    if (err != aErrNone)
        return err;
    char line[32];
    size_t length;
    uint32_t values[2] = {0, 0};
    for (int i = 0; i < 2; i++) {
        err = GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS);
        if (err != aErrNone)
            return err;
        values[i] = (uint32_t)strtoul(line, nullptr, 0);
    }
    if (major)
        *major = (uint8_t)values[0];
    if (minor)
        *minor = (uint8_t)values[1];
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", (int)(uint8_t)values[0],
             (int)(uint8_t)values[1]);
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(uint32_t* number)
{
    aErr err = CommandWithCode("J\r\n", REPLY_BUDGET_MS, "J");
    if (err != aErrNone)
        return err;
    char line[32];
    size_t length;
    err = GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS);
    if (err != aErrNone)
        return err;
    uint32_t value = (uint32_t)strtoul(line, nullptr, 0);
    if (number)
        *number = value;
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", (long long)value);
    return aErrNone;
}

aErr NXPSerialClass::GetDeviceID()
{
    aErr err = CommandWithCode("N\r\n", REPLY_BUDGET_MS, "N");
    if (err != aErrNone)
        return err;
    for (int i = 0; i < 4; i++) {
        char line[33];
        size_t length;
        err = GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS);
        if (err != aErrNone)
            return err;
        device_serial_number[i] = (uint32_t)strtoul(line, nullptr, 0);
    }
    return aErrNone;
}

aErr NXPSerialClass::SetEcho(bool on)
{
    aErr err = CommandWithCode(on ? "A 1\r\n" : "A 0\r\n", REPLY_BUDGET_MS, "A");
    if (err == aErrNone)
        echo = on;
    return err;
}

aErr NXPSerialClass::SetBaudRate(uint32_t baud)
{
    char text[48];
    snprintf(text, sizeof(text), "B %u %d\r\n", baud, 1);
    return CommandWithCode(text, REPLY_BUDGET_MS, "B");
}

aErr NXPSerialClass::Unlock() { return CommandWithCode("U 23130\r\n", REPLY_BUDGET_MS, "U"); }

aErr NXPSerialClass::Prepare(uint32_t first, uint32_t last)
{
    if (first > last)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof(text), "P %u %u\r\n", first, last);
    return CommandWithCode(text, REPLY_BUDGET_MS, "P");
}

aErr NXPSerialClass::Erase(uint32_t first, uint32_t last)
{
    if (first > last)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof(text), "E %u %u\r\n", first, last);
    return CommandWithCode(text, ERASE_BASE_MS + ERASE_PER_SECTOR_MS * (last - first + 1), "E");
}

aErr NXPSerialClass::CopyToFlash(uint32_t flashAddress, uint32_t ramAddress, uint32_t count)
{
    if ((flashAddress & 0xFF) != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096))
        return aErrParam;
    char text[64];
    snprintf(text, sizeof(text), "C %u %u %u\r\n", flashAddress, ramAddress, count);
    return CommandWithCode(text, COPY_BUDGET_MS, "C");
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address)
{
    char text[48];
    snprintf(text, sizeof(text), "G %u T\r\n", address);
    aErr err = SendCommand(text);
    if (err != aErrNone)
        return err;
    // The chip answers before it jumps; wait for that so the command has surely left the port.
    char line[32];
    size_t length;
    GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS);
    return aErrNone;
}

aErr NXPSerialClass::Write(uint32_t address, uint32_t count, const uint8_t* source)
{
    if (count == 0 || count % 4 != 0 || !source)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof(text), "W %u %u\r\n", address, count);
    last_return_code = -1;
    aErr err = SendCommand(text);
    if (err != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", "W", aError_GetErrorText(err));
        return err;
    }
    char line[64];
    size_t length = 0;
    err = GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS);
    if (err != aErrNone)
        return err;
    if (GetErrorIndex(line, length) != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error response ==>[%s]\n", GetErrorText(line));
        return aErrParam;
    }
    int attempts = MAX_READ_RETRY;
    uint32_t groupStart = 0;
    while (groupStart < count) {
        uint32_t position = groupStart;
        // One group: up to 20 lines, sent back to back so the line never idles.
        std::string group;
        for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count; lines++) {
            uint32_t n = count - position < (uint32_t)MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
            char encoded[2 + 4 * ((MAX_BYTES_PER_LINE + 2) / 3) + 2];
            uuencode(encoded, source + position, n);
            group += encoded;
            group += "\r\n";
            position += n;
        }
        uint32_t checksum = sum(source + groupStart, position - groupStart);
        Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%u)\n", checksum, checksum);
        snprintf(text, sizeof(text), "%u\r\n", checksum);
        group += text;
        err = Send(group.data(), group.size(), echo);
        if (err != aErrNone)
            return err;
        uint64_t started = aTime_MonoMS();
        err = GetLine(line, sizeof(line), &length, CHECKSUM_BUDGET_MS);
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %llu ms\n",
                 (unsigned long long)(aTime_MonoMS() - started + 1));
        if (err != aErrNone) {
            Log::log(DEBUG_NXPSerial, "Write() no checksum reply [%s]\n", aError_GetErrorText(err));
            return err == aErrNotReady ? aErrTimeout : err;
        }
        if (strcmp(line, "OK\r\n") == 0) {
            groupStart = position;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %u of %u (%.0f%%) bytes\n", groupStart, count,
                     100.0 * groupStart / count);
        } else if (strcmp(line, "RESEND\r\n") == 0) {
            if (--attempts <= 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", sPrintable(line, length).c_str());
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, uint32_t count, uint8_t* destination)
{
    if (count == 0 || count % 4 != 0 || !destination)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof(text), "R %u %u\r\n", address, count);
    aErr err = CommandWithCode(text, REPLY_BUDGET_MS, "R");
    if (err != aErrNone)
        return err;
    int attempts = MAX_READ_RETRY;
    uint32_t groupStart = 0;
    while (groupStart < count) {
        uint32_t position = groupStart;
        char line[128];
        size_t length = 0;
        for (int lines = 0; lines < LINES_PER_CHECKSUM && position < count; lines++) {
            // A line of 45 bytes takes 62 characters and the line end.
            err = GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS + WAIT_TIME_MS(64, baud_rate));
            if (err != aErrNone)
                return err;
            line[length - TERMINATION_SIZE] = 0;
            position += (uint32_t)uudecode(destination + position, count - position, line);
        }
        err = GetLine(line, sizeof(line), &length, REPLY_BUDGET_MS);
        if (err != aErrNone)
            return err;
        uint32_t expected = (uint32_t)strtoul(line, nullptr, 10);
        bool more = position < count;
        if (expected == sum(destination + groupStart, position - groupStart)) {
            err = Send("OK\r\n", 4, false);
            if (err != aErrNone)
                return err;
            if (echo) {
                size_t received;
                GetEcho("OK\r\n", more ? 3 : 4, &received);
            }
            groupStart = position;
            Log::log(DEBUG_NXPSerial_SR, "valid receipt of %u of %u (%.0f%%) bytes\n", groupStart, count,
                     100.0 * groupStart / count);
        } else {
            if (--attempts <= 0)
                return aErrTimeout;
            err = Send("RESEND\r\n", 8, echo);
            if (err != aErrNone)
                return err;
        }
    }
    return aErrNone;
}

uint32_t NXPSerialClass::SectorFromAddress(uint32_t address)
{
    for (const NXPSector* s = NXP_LPC17XX_sectors; s->start != 0xFFFFFFFF; s++)
        if (address >= s->start && address - s->start < s->size)
            return s->number;
    return 30;
}

uint32_t NXPSerialClass::CopyLength(uint32_t count)
{
    if (count <= 256)
        return 256;
    if (count <= 512)
        return 512;
    if (count <= 1024)
        return 1024;
    if (count <= 4096)
        return 4096;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", count);
    return count;
}

char NXPSerialClass::uuchar(uint32_t value)
{
    value &= 63;
    return value ? (char)(value + 32) : '`';
}

void NXPSerialClass::uuencode(char* out, const uint8_t* data, size_t count)
{
    *out++ = uuchar((uint32_t)count);
    for (size_t i = 0; i < count; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16;
        if (i + 1 < count)
            v |= (uint32_t)data[i + 1] << 8;
        if (i + 2 < count)
            v |= data[i + 2];
        *out++ = uuchar(v >> 18);
        *out++ = uuchar(v >> 12);
        *out++ = uuchar(v >> 6);
        *out++ = uuchar(v);
    }
    *out = 0;
}

size_t NXPSerialClass::uudecode(uint8_t* out, size_t room, const char* line)
{
    if (!line || !*line)
        return 0;
    size_t count = (size_t)(((unsigned char)line[0] - 32) & 63);
    if (count > room)
        return 0;
    size_t produced = 0;
    const char* p = line + 1;
    while (produced < count) {
        if (!p[0] || !p[1] || !p[2] || !p[3]) {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            return produced;
        }
        uint32_t v = 0;
        for (int k = 0; k < 4; k++)
            v = (v << 6) | (((unsigned char)p[k] - 32) & 63);
        p += 4;
        for (int k = 2; k >= 0 && produced < count; k--)
            out[produced++] = (uint8_t)(v >> (8 * k));
    }
    return count;
}

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t count)
{
    uint32_t total = 0;
    for (size_t i = 0; i < count; i++)
        total += data[i];
    return total;
}
