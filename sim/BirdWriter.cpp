#include "BirdWriter.h"

#include <cstdio>
#include <zlib.h>

#include "aFile.h"

namespace {

void sPutBigEndian32(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back((uint8_t)(value >> 24));
    out.push_back((uint8_t)(value >> 16));
    out.push_back((uint8_t)(value >> 8));
    out.push_back((uint8_t)value);
}

// A 16-character field, cut or padded with spaces.
void sPutField(std::vector<uint8_t>& out, const std::string& text)
{
    for (size_t i = 0; i < 16; i++)
        out.push_back(i < text.size() ? (uint8_t)text[i] : (uint8_t)' ');
}

std::vector<uint8_t> sSegment(uint32_t address, const std::vector<uint8_t>& code)
{
    std::vector<uint8_t> data;
    data.reserve(code.size() + 4);
    sPutBigEndian32(data, address);
    data.insert(data.end(), code.begin(), code.end());
    return data;
}

}  // namespace

BirdWriter::BirdWriter() : signature("bird")
{
    version[0] = 1;
    version[1] = 1;
}

void BirdWriter::AddBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& data)
{
    blocks.push_back(Block{type, flags, data});
}

void BirdWriter::AddLoader(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags)
{
    AddBlock(0, flags, sSegment(address, code));
}

void BirdWriter::AddFirmware(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags)
{
    AddBlock(1, flags, sSegment(address, code));
}

void BirdWriter::AddEncodedFirmware(uint32_t address, const std::vector<uint8_t>& code, const uint32_t key[4],
                                    uint8_t flags)
{
    AddBlock(1, flags, sSegment(address, Encode(code, key)));
}

void BirdWriter::AddInformation(uint32_t build, const std::string& version_text, uint32_t serial_number,
                                const std::string& model)
{
    char text[16];
    std::vector<uint8_t> data;
    snprintf(text, sizeof(text), "%u", build);
    sPutField(data, text);
    sPutField(data, version_text);
    snprintf(text, sizeof(text), "%08X", serial_number);
    sPutField(data, text);
    sPutField(data, model);
    AddBlock(4, 0, data);
}

void BirdWriter::AddSerialNumberLocations(uint32_t serial_address, uint32_t descriptor_address)
{
    std::vector<uint8_t> data;
    sPutBigEndian32(data, serial_address);
    sPutBigEndian32(data, descriptor_address);
    AddBlock(2, 0, data);
}

void BirdWriter::AddRecoveryStart(uint32_t address)
{
    std::vector<uint8_t> data;
    sPutBigEndian32(data, address);
    AddBlock(5, 0, data);
}

std::vector<uint8_t> BirdWriter::Content() const
{
    std::vector<uint8_t> out;
    sPutBigEndian32(out, has_reported_count ? reported_count : (uint32_t)blocks.size());
    for (const Block& block : blocks) {
        out.push_back((uint8_t)((block.type & 0x1F) | ((block.flags & 0x07) << 5)));
        sPutBigEndian32(out, (uint32_t)block.data.size());
        out.insert(out.end(), block.data.begin(), block.data.end());
    }
    uint32_t sum = 0;
    for (uint8_t byte : out)
        sum += byte;
    sPutBigEndian32(out, sum);
    return out;
}

std::vector<uint8_t> BirdWriter::Build() const
{
    std::vector<uint8_t> content = Content();
    uLongf length = compressBound((uLong)content.size());
    std::vector<uint8_t> file(6 + length);
    for (size_t i = 0; i < 4; i++)
        file[i] = i < signature.size() ? (uint8_t)signature[i] : 0;
    file[4] = version[0];
    file[5] = version[1];
    if (compress2(file.data() + 6, &length, content.data(), (uLong)content.size(), Z_BEST_COMPRESSION) != Z_OK)
        return std::vector<uint8_t>();
    file.resize(6 + length);
    return file;
}

aErr BirdWriter::Write(const std::string& path) const
{
    std::vector<uint8_t> file = Build();
    if (file.empty())
        return aErrMemory;
    return aFile_WriteAtomic(path.c_str(), file.data(), file.size());
}

std::vector<uint8_t> BirdWriter::Encode(const std::vector<uint8_t>& code, const uint32_t key[4])
{
    uint8_t k[16];
    for (int i = 0; i < 4; i++)
        for (int b = 0; b < 4; b++)
            k[4 * i + b] = (uint8_t)(key[i] >> (24 - 8 * b));
    std::vector<uint8_t> out(code.size());
    uint8_t prev = 0;
    for (size_t i = 0; i < code.size(); i++) {
        out[i] = (uint8_t)(code[i] ^ k[i % 16] ^ prev);
        prev = code[i];
    }
    return out;
}

std::vector<uint8_t> BirdWriter::MakeCode(size_t size, uint32_t seed)
{
    std::vector<uint8_t> code(size);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        code[i] = (uint8_t)(x >> 24);
    }
    return code;
}
