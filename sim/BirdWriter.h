// Writes BIRD firmware files: the one writer that tests, simulators, benchmarks and the demo use
// to make firmware files. Blocks are kept in the order they were added; the information block,
// serial-number locations and recovery start are blocks like any other.
#ifndef SIM_BIRDWRITER_H
#define SIM_BIRDWRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "aDefs.h"

class BirdWriter {
  public:
    struct Block {
        uint8_t type;
        uint8_t flags;
        std::vector<uint8_t> data;
    };

    BirdWriter();

    // Segments: the 4-byte big-endian load address followed by the code.
    void AddLoader(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags = 0);
    void AddFirmware(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags = 0);
    // A firmware segment whose code is encoded so that decoding with the key words gives code.
    void AddEncodedFirmware(uint32_t address, const std::vector<uint8_t>& code, const uint32_t key[4],
                            uint8_t flags = 0);
    // The information block: build (decimal), version, serial number ("%08X") and model, each a
    // 16-character field padded with spaces (longer texts are cut).
    void AddInformation(uint32_t build, const std::string& version, uint32_t serial_number,
                        const std::string& model);
    // Where the serial number and its descriptor are patched into the firmware image.
    void AddSerialNumberLocations(uint32_t serial_address, uint32_t descriptor_address);
    void AddRecoveryStart(uint32_t address);
    // Any block, as given.
    void AddBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& data);

    // Overrides of the header and the reported block count, for files that must be wrong.
    void SetSignature(const std::string& four_bytes) { signature = four_bytes; }
    void SetVersion(uint8_t major, uint8_t minor) { version[0] = major; version[1] = minor; }
    void SetReportedCount(uint32_t count) { reported_count = count; has_reported_count = true; }

    const std::vector<Block>& Blocks() const { return blocks; }

    // The uncompressed content: block count, blocks, checksum (the 32-bit sum of the bytes
    // before it).
    std::vector<uint8_t> Content() const;
    // The whole file: signature, version and the zlib-compressed content.
    std::vector<uint8_t> Build() const;
    // Builds the file and writes it in one step.
    aErr Write(const std::string& path) const;

    // The encoding that DecodeFirmwareBlocks undoes with the same key words.
    static std::vector<uint8_t> Encode(const std::vector<uint8_t>& code, const uint32_t key[4]);
    // A recognisable code image: size bytes of a fixed pseudo-random sequence seeded by seed.
    static std::vector<uint8_t> MakeCode(size_t size, uint32_t seed);

  private:
    std::vector<Block> blocks;
    std::string signature;
    uint8_t version[2];
    uint32_t reported_count = 0;
    bool has_reported_count = false;
};

#endif
