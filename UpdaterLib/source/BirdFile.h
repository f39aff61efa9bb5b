// A BIRD firmware file: a signature, a version and a zlib-compressed content of type-tagged
// blocks (loader and firmware segments, serial-number locations, information, recovery start).
// A BirdFile loads and parses one, answers questions about it and edits the loaded image in
// memory (serial number patch, vector checksum, decoding of encoded firmware). Nothing here
// writes a BIRD file back to disk.
#ifndef UPDATER_BIRDFILE_H
#define UPDATER_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define BIRD_FILE_SIGNATURE "bird"
#define BIRD_FILE_VERSION_MAJOR 1
#define BIRD_FILE_VERSION_MINOR 1
#define BIRD_FILE_TYPE_MASK 0x1F
#define BIRD_FILE_FLAG_MASK 0xE0

// One parsed block: a plain value that points into the content of the BirdFile that owns it.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;       // 0..7
    uint32_t length = 0;     // bytes of data
    uint32_t address = 0;    // load address (types 0 and 1, big-endian first data word), else 0
    uint8_t* data = nullptr; // the block's data bytes inside the owner's content
};

class BirdFile {
  public:
    enum BLOCK_TYPE {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_NUMBER = 2,
        BLOCK_INFORMATION = 4,
        BLOCK_RECOVERY_START = 5,
    };

    // Layout of the information block: four space-padded text fields of 16 characters.
    static const size_t INFO_FIELD_SIZE = 16;
    static const size_t INFO_BLOCK_SIZE = 64;

    // An empty file: no blocks, all numbers 0.
    BirdFile();
    // Loads the file; throws std::runtime_error("Failed to load bird data") when it cannot.
    // Only a regular file is read; it is opened without blocking, so a FIFO is refused.
    explicit BirdFile(const char* path);

    // Why the last load failed (empty after a load that succeeded).
    enum LoadFailure {
        LOAD_OK = 0,
        LOAD_UNREADABLE,   // missing, not a regular file, or a read error
        LOAD_TOO_SHORT,    // 6 bytes or less: no content at all
        LOAD_TRUNCATED,    // the compressed content ends before its end
        LOAD_CORRUPT,      // the compressed content does not decompress
        LOAD_TOO_LARGE,    // the content expands past the limit
    };

    // What parsing found besides the blocks: the reported count, the first block that ran past
    // the end (not parsed), and the bytes left over between the last block and the checksum.
    struct ParseReport {
        uint32_t reported_count = 0;
        bool overrun = false;
        uint8_t overrun_type = 0;
        uint32_t overrun_length = 0;
        size_t overrun_room = 0;  // bytes that were left for its data
        long long extra_bytes = 0; // bytes left besides the checksum (negative: no room for it)
    };

    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile() = default;

    // True when the first six bytes can be read, the first four are "bird" and the two
    // version bytes are both non-zero.
    static bool VerifyFile(const char* path);

    // Loads the file without throwing, replacing whatever this object held. False when it cannot
    // be loaded (`Failure` says why).
    bool LoadFile(const char* path);

    // Parses the bytes of a whole BIRD file already in memory (signature, version, compressed
    // content), replacing whatever this object held. False when they cannot be loaded
    // (`Failure` says why).
    bool LoadBuffer(const uint8_t* bytes, size_t size);

    // Copies of the blocks of one type, in file order.
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;

    // Information block queries: 0 or an empty text without an information block.
    unsigned int GetBuild() const;
    std::string GetVersion() const;
    unsigned int GetSerialNumber() const;
    std::string GetModel() const;
    bool ValidateSerialNumber(unsigned int serial_number) const;
    // True when the model field starts with the name (non-empty).
    bool ValidateModel(const char* name) const;

    // Patches the serial number (least significant byte first) and the serial number
    // descriptor digits into the firmware image. True when something was written.
    bool ReplaceSerialNumber(unsigned int serial_number);
    // Recomputes the vector checksum word of every firmware segment loaded at address 0.
    bool ReplaceVectorChecksum();
    // Decodes every firmware segment in place with the key formed from the four words.
    bool DecodeFirmwareBlocks(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3);
    // True when the pattern occurs in the data of a firmware block.
    bool ValidateData(const uint8_t* pattern, size_t length) const;
    // Prints the blocks of a type to standard output as a hexadecimal and text dump.
    bool DumpBlocks(uint8_t type) const;

    const std::string& Filename() const { return filename; }
    uint32_t Signature() const { return signature; }
    uint32_t Version() const { return version; }
    uint32_t Checksum() const { return checksum; }
    uint32_t BlockCount() const { return block_count; }
    const std::vector<BirdBlock>& Blocks() const { return blocks; }
    bool HasSerialNumberBlock() const { return serial_number_block; }
    uint32_t SerialNumberAddress() const { return serial_number_address; }
    uint32_t DescriptorAddress() const { return descriptor_address; }
    const uint8_t* Content() const { return content.data(); }
    uint32_t ContentSize() const { return content_size; }
    const ParseReport& Parse() const { return parse; }
    LoadFailure Failure() const { return failure; }

  private:
    bool Load();
    bool Decompress(const uint8_t* compressed, size_t size);
    void ParseContent();
    const BirdBlock* InformationBlock() const;
    std::string InformationField(size_t offset, size_t count) const;
    void Reset();

    std::string filename;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t block_count = 0;
    std::vector<BirdBlock> blocks;
    bool serial_number_block = false;
    uint32_t serial_number_address = 0;
    uint32_t descriptor_address = 0;
    std::vector<uint8_t> content;
    uint32_t content_size = 0;
    ParseReport parse;
    LoadFailure failure = LOAD_OK;
};

#endif
