#include "SDPLoader.h"

#include <string>

#include "Log.h"
#include "RomEcho.h"

namespace {

void sPutBE32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = (uint8_t)(v >> 24);
    b[at + 1] = (uint8_t)(v >> 16);
    b[at + 2] = (uint8_t)(v >> 8);
    b[at + 3] = (uint8_t)v;
}

std::vector<uint8_t> sCommand(uint16_t command, uint32_t address, uint8_t format, uint32_t count)
{
    std::vector<uint8_t> b = {1, (uint8_t)(command >> 8), (uint8_t)command};
    SDPLoader::_fillCommand(b);
    sPutBE32(b, 3, address);
    b[7] = format;
    sPutBE32(b, 8, count);
    return b;
}

}  // namespace

SDPLoader::SDPLoader() : transport(nullptr) {}

SDPLoader::~SDPLoader() { delete transport; }

bool SDPLoader::setLoader(SDPLoader_Interface* t)
{
    if (!t || transport)
        return false;
    transport = RomEcho::Wrap(t);
    return true;
}

int SDPLoader::init()
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    return transport->init() ? SDP_OK : SDP_INIT_FAILED;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& buffer)
{
    if (buffer.size() < COMMAND_SIZE)
        buffer.resize(COMMAND_SIZE, 0);
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() { return sCommand(0x0505, 0, 0, 0); }

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address)
{
    return sCommand(0x0101, address, 0x20, 4);
}

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t size)
{
    return sCommand(0x0404, address, 0x20, size);
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) { return sCommand(0x0B0B, address, 0, 0); }

void SDPLoader::_printBuffer(const std::vector<uint8_t>& buffer)
{
    if (!(Log::ActivePackages() & DEBUG_iMXSerial))
        return;
    std::string text;
    char b[4];
    for (uint8_t v : buffer) {
        snprintf(b, sizeof(b), "%X ", v);
        text += b;
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& reply)
{
    unsigned value = 0;
    return transport->getDataFromBuffer(reply, 0, value);
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& reply)
{
    unsigned value = 0;
    return transport->getDataFromBuffer(reply, 0, value) && value == ACK;
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply)
{
    unsigned value = 0;
    return transport->getDataFromBuffer(reply, 0, value) && value == WRITE_COMPLETE;
}

bool SDPLoader::_isConnectionAlive()
{
    for (unsigned attempt = 0; attempt < ALIVE_ATTEMPTS; attempt++) {
        std::vector<uint8_t> reply;
        if (transport->writeData(_createStatusPacket()) < 0)
            continue;
        transport->readData(reply, REPLY_TIMEOUT_MS, WORD_SIZE);
        if (_expectResponse(reply))
            return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& bytes, uint32_t address)
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    std::vector<uint8_t> command = _createWriteFilePacket(address, (uint32_t)bytes.size());
    ssize_t written = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _printBuffer(command);
    if (written < 0)
        return SDP_NO_ANSWER;
    size_t position = 0;
    int total = 0, loop = 0;
    while (position < bytes.size()) {
        std::vector<uint8_t> unexpected;
        if (transport->readData(unexpected, 0, 0) > 0) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            _printBuffer(unexpected);
            return SDP_UNEXPECTED_DATA;
        }
        size_t n = bytes.size() - position < MAX_DATA_PER_BUFFER ? bytes.size() - position : MAX_DATA_PER_BUFFER;
        std::vector<uint8_t> buffer;
        buffer.reserve(n + 1);
        buffer.push_back(2);
        buffer.insert(buffer.end(), bytes.begin() + (long)position, bytes.begin() + (long)(position + n));
        written = transport->writeData(buffer);
        if (written < 0) {
            // The transport could not move the data (it gave up after a bounded wait).
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Write failed\n");
            return SDP_NO_ANSWER;
        }
        position += n;
        total += (int)written;
        loop++;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", written, total, loop,
                 (long)position, (ssize_t)buffer.size());
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    std::vector<uint8_t> reply;
    transport->readData(reply, REPLY_TIMEOUT_MS, WORD_SIZE);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(reply);
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    if (reply.empty()) {
        Log::log(DEBUG_iMXSerial, "No status after the loader data\n");
        return SDP_NO_COMPLETION;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_BAD_COMPLETION;
}

void SDPLoader::startLoader(uint32_t address)
{
    if (!transport)
        return;
    std::vector<uint8_t> command = _createJumpPacket(address);
    ssize_t written = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _printBuffer(command);
    // The processor sends its security state and leaves the ROM.
    std::vector<uint8_t> reply;
    transport->readData(reply, REPLY_TIMEOUT_MS, 0);
}

int SDPLoader::_readRegister(uint32_t address, uint32_t& value)
{
    std::vector<uint8_t> command = _create4ByteReadRegisterPacket(address);
    ssize_t written = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zd\n", written);
    std::vector<uint8_t> reply;
    size_t got = transport->readData(reply, REPLY_TIMEOUT_MS, WORD_SIZE);
    Log::log(DEBUG_iMXSerial, "Read Data: %zu\n", got);
    _printBuffer(reply);
    unsigned v = 0;
    if (written < 0 || !transport->getDataFromBuffer(reply, 0, v))
        return SDP_BAD_REPLY;
    value = v;
    return SDP_OK;
}

int SDPLoader::getFingerprint(uint64_t& value)
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    uint32_t low = 0, high = 0;
    int result = _readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low);
    if (result != SDP_OK)
        return result;
    result = _readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high);
    if (result != SDP_OK)
        return result;
    value = ((uint64_t)high << 32) | low;
    return SDP_OK;
}
