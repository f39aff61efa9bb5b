#include "BirdFile.h"

#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <zlib.h>

#include "Log.h"
#include "aFile.h"

namespace {

// Bytes of the file header before the compressed content: signature and version.
const size_t HEADER_SIZE = 6;
// The decompressed content may be at most this many times the compressed size.
const size_t EXPANSION_LIMIT = 8;

uint32_t sBigEndian32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

uint32_t sLittleEndian32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void sPutLittleEndian32(uint8_t* p, uint32_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
    p[2] = (uint8_t)(value >> 16);
    p[3] = (uint8_t)(value >> 24);
}

bool sIsSegment(uint8_t type)
{
    return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
}

// The code of a segment: the data after its 4-byte load address (none when the block is
// shorter than that).
size_t sCodeLength(const BirdBlock& block)
{
    return block.length >= 4 ? block.length - 4 : 0;
}

}  // namespace

BirdFile::BirdFile() {}

BirdFile::BirdFile(const char* path) : filename(path ? path : "")
{
    // Callers check for an empty path before they get here.
    assert(this->filename.length() > 0);
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept
{
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept
{
    if (this == &other)
        return *this;
    filename = std::move(other.filename);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    block_count = other.block_count;
    // Moving the vector hands over its buffer, so the blocks keep pointing at valid data.
    content = std::move(other.content);
    blocks = std::move(other.blocks);
    content_size = other.content_size;
    serial_number_block = other.serial_number_block;
    serial_number_address = other.serial_number_address;
    descriptor_address = other.descriptor_address;
    parse = other.parse;
    failure = other.failure;
    other.Reset();
    other.filename.clear();
    return *this;
}

void BirdFile::Reset()
{
    signature = 0;
    version = 0;
    checksum = 0;
    block_count = 0;
    blocks.clear();
    serial_number_block = false;
    serial_number_address = 0;
    descriptor_address = 0;
    content.clear();
    content_size = 0;
    parse = ParseReport();
    failure = LOAD_OK;
}

bool BirdFile::VerifyFile(const char* path)
{
    aFileRef file = aFile_OpenRegular(path);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path ? path : "");
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof(header), &got);
    aFile_Close(&file);
    if (err != aErrNone || got != sizeof(header))
        return false;
    return memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 && header[5] != 0;
}

bool BirdFile::LoadFile(const char* path)
{
    Reset();
    filename = path ? path : "";
    if (filename.empty()) {
        failure = LOAD_UNREADABLE;
        return false;
    }
    return Load();
}

bool BirdFile::Load()
{
    failure = LOAD_UNREADABLE;
    const char* path = filename.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!aFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    aFileRef file = aFile_OpenRegular(path);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path);
        aFile_Close(&file);
        return false;
    }
    std::vector<uint8_t> bytes(size);
    size_t got = 0;
    err = size > 0 ? aFile_Read(file, bytes.data(), size, &got) : aErrNone;
    aFile_Close(&file);
    if (err != aErrNone && size > 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path);
        return false;
    }
    if (got != size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path, got, size);
        return false;
    }
    std::string keep = filename;
    bool loaded = LoadBuffer(bytes.data(), bytes.size());
    filename = keep;
    return loaded;
}

bool BirdFile::LoadBuffer(const uint8_t* bytes, size_t size)
{
    Reset();
    if (bytes == nullptr || size <= HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file too short (%zu bytes)\n", bytes ? size : 0);
        failure = LOAD_TOO_SHORT;
        return false;
    }
    signature = sBigEndian32(bytes);
    version = ((uint32_t)bytes[4] << 8) | bytes[5];
    if (!Decompress(bytes + HEADER_SIZE, size - HEADER_SIZE))
        return false;
    ParseContent();
    return true;
}

bool BirdFile::Decompress(const uint8_t* compressed, size_t size)
{
    content.clear();
    content_size = 0;
    size_t capacity = size * EXPANSION_LIMIT;
    // zlib counts in 32 bits; a file too large for that cannot be a firmware file.
    if (capacity / EXPANSION_LIMIT != size || capacity > (size_t)UINT32_MAX) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        failure = LOAD_TOO_LARGE;
        return false;
    }
    // Left uninitialised: only the part zlib fills is touched and kept.
    std::unique_ptr<uint8_t[]> output(new (std::nothrow) uint8_t[capacity]);
    if (!output) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        failure = LOAD_TOO_LARGE;
        return false;
    }
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit(&stream) != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        failure = LOAD_CORRUPT;
        return false;
    }
    stream.next_in = const_cast<Bytef*>(compressed);
    stream.avail_in = (uInt)size;
    stream.next_out = output.get();
    stream.avail_out = (uInt)capacity;
    int z = inflate(&stream, Z_FINISH);
    const size_t length = capacity - stream.avail_out;
    const bool output_full = stream.avail_out == 0;
    inflateEnd(&stream);
    if (z != Z_STREAM_END) {
        // Tell a content that is too large from a stream that was cut short or is damaged.
        if (z == Z_BUF_ERROR && output_full) {
            failure = LOAD_TOO_LARGE;
        } else if (z == Z_BUF_ERROR) {
            failure = LOAD_TRUNCATED;
            z = Z_DATA_ERROR;
        } else {
            failure = LOAD_CORRUPT;
            if (z == Z_NEED_DICT)
                z = Z_DATA_ERROR;
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        return false;
    }
    content.assign(output.get(), output.get() + length);
    content_size = (uint32_t)length;
    return true;
}

void BirdFile::ParseContent()
{
    const uint8_t* base = content.data();
    const size_t size = content_size;
    uint32_t reported = size >= 4 ? sBigEndian32(base) : 0;
    parse = ParseReport();
    parse.reported_count = reported;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", (int)reported);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    block_count = 0;

    size_t pos = size >= 4 ? 4 : size;
    // A block header is five bytes; the loop runs only while more than four remain.
    while (size - pos > 4) {
        BirdBlock block;
        block.type = base[pos] & BIRD_FILE_TYPE_MASK;
        block.flags = (uint8_t)((base[pos] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = sBigEndian32(base + pos + 1);
        size_t data_pos = pos + 5;
        if ((size_t)block.length > size - data_pos) {
            parse.overrun = true;
            parse.overrun_type = block.type;
            parse.overrun_length = block.length;
            parse.overrun_room = size - data_pos;
            break;
        }
        block.data = content.data() + data_pos;
        if (sIsSegment(block.type) && block.length >= 4)
            block.address = sBigEndian32(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, (int)block.length);
        if (block.type == BLOCK_INFORMATION) {
            for (size_t field = 0; field < INFO_BLOCK_SIZE; field += INFO_FIELD_SIZE) {
                if (field + INFO_FIELD_SIZE > block.length)
                    break;
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", (const char*)block.data + field);
            }
        }
        blocks.push_back(block);
        block_count++;
        pos = data_pos + block.length;
    }

    if (size >= 4)
        checksum = sBigEndian32(base + size - 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);

    size_t remaining = size - pos;
    parse.extra_bytes = (long long)remaining - 4;
    if (remaining != 4) {
        long long extra = parse.extra_bytes;
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%lld bytes remaining)\n", extra);
    }
    if (block_count != reported)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 (int)block_count, (int)reported);

    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_SERIAL_NUMBER)
            continue;
        serial_number_block = true;
        // A locations block too short for both addresses records only what it holds.
        if (block.length >= 4)
            serial_number_address = sBigEndian32(block.data);
        if (block.length >= 8)
            descriptor_address = sBigEndian32(block.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 (int)serial_number_address, (int)descriptor_address);
        break;
    }
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

const BirdBlock* BirdFile::InformationBlock() const
{
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_INFORMATION)
            return &block;
    return nullptr;
}

// Up to count characters of the information block from offset; a short block gives only the
// characters it holds, and a NUL ends the text.
std::string BirdFile::InformationField(size_t offset, size_t count) const
{
    const BirdBlock* info = InformationBlock();
    if (!info || offset >= info->length)
        return std::string();
    size_t available = info->length - offset;
    if (count > available)
        count = available;
    const char* text = (const char*)info->data + offset;
    return std::string(text, strnlen(text, count));
}

unsigned int BirdFile::GetBuild() const
{
    std::string field = InformationField(0, INFO_FIELD_SIZE - 1);
    size_t i = 0;
    while (i < field.size() && isspace((unsigned char)field[i]))
        i++;
    unsigned long long build = 0;
    for (; i < field.size() && isdigit((unsigned char)field[i]); i++) {
        build = build * 10 + (unsigned)(field[i] - '0');
        if (build > UINT32_MAX)
            return 0;
    }
    return (unsigned int)build;
}

std::string BirdFile::GetVersion() const
{
    std::string field = InformationField(INFO_FIELD_SIZE, INFO_FIELD_SIZE - 1);
    size_t space = field.find(' ');
    if (space != std::string::npos)
        field.resize(space);
    return field;
}

unsigned int BirdFile::GetSerialNumber() const
{
    std::string field = InformationField(2 * INFO_FIELD_SIZE, 8);
    return (unsigned int)strtoul(field.c_str(), nullptr, 16);
}

std::string BirdFile::GetModel() const
{
    std::string field = InformationField(3 * INFO_FIELD_SIZE, INFO_FIELD_SIZE);
    size_t end = field.find_last_not_of(' ');
    field.resize(end == std::string::npos ? 0 : end + 1);
    return field;
}

bool BirdFile::ValidateSerialNumber(unsigned int serial_number) const
{
    return serial_number == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* name) const
{
    if (name == nullptr || name[0] == '\0' || InformationBlock() == nullptr)
        return false;
    std::string model = GetModel();
    size_t n = strlen(name);
    if (model.size() < n || model.compare(0, n, name) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model.c_str(), name);
    return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial_number)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial_number);
    bool patched = false;
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4)
            continue;
        const uint64_t start = block.address;
        const uint64_t end = start + sCodeLength(block);
        uint8_t* code = block.data + 4;
        const uint64_t a = serial_number_address;
        if (a != 0 && start <= a && a + 4 <= end) {
            uint8_t* at = code + (a - start);
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     sLittleEndian32(at), serial_number);
            sPutLittleEndian32(at, serial_number);
            patched = true;
        }
        const uint64_t d = descriptor_address;
        if (d != 0 && start <= d && d + 16 <= end) {
            uint8_t* at = code + (d - start);
            for (int i = 0; i < 8; i++)
                at[2 * i] = (uint8_t)text[i];
            patched = true;
        }
    }
    return patched;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (BirdBlock& block : blocks) {
        // The vector table is the first eight code words; a shorter segment has none.
        if (block.type != BLOCK_FIRMWARE || block.address != 0 || sCodeLength(block) < 32)
            continue;
        uint8_t* code = block.data + 4;
        uint32_t sum = 0;
        for (int i = 0; i < 7; i++)
            if (i != 5)
                sum += sLittleEndian32(code + 4 * i);
        uint32_t old_value = sLittleEndian32(code + 28);
        uint32_t new_value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old_value, new_value);
        sPutLittleEndian32(code + 28, new_value);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3)
{
    const uint32_t words[4] = {k0, k1, k2, k3};
    uint8_t key[16];
    for (int i = 0; i < 4; i++) {
        key[4 * i] = (uint8_t)(words[i] >> 24);
        key[4 * i + 1] = (uint8_t)(words[i] >> 16);
        key[4 * i + 2] = (uint8_t)(words[i] >> 8);
        key[4 * i + 3] = (uint8_t)words[i];
    }
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE)
            continue;
        uint8_t* code = block.data + 4;
        const size_t length = sCodeLength(block);
        uint8_t prev = 0;
        for (size_t i = 0; i < length; i++) {
            uint8_t decoded = (uint8_t)(code[i] ^ key[i % 16] ^ prev);
            code[i] = decoded;
            prev = decoded;
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t length) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", filename.c_str());
    bool found = false;
    if (pattern != nullptr && length > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || block.length < length)
                continue;
            for (size_t offset = 0; offset + length <= block.length; offset++) {
                if (memcmp(block.data + offset, pattern, length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", (int)offset);
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
    for (const BirdBlock& block : blocks) {
        if (block.type != type)
            continue;
        std::string text;
        for (size_t i = 0; i < block.length; i++) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), (int)i);
                text.clear();
            }
            uint8_t byte = block.data[i];
            printf("%02X ", byte);
            text += isprint(byte) ? (char)byte : ' ';
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}
