#include "BirdCheck.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "UpdaterSteps.h"
#include "aDefs.h"

namespace {

const char* sBlockName(uint8_t type)
{
    return type == BirdFile::BLOCK_LOADER ? "loader" : "firmware";
}

// True when the n bytes at address lie inside the code of one firmware segment.
bool sInsideFirmware(const BirdFile& bird, uint32_t address, uint32_t n)
{
    for (const BirdBlock& block : bird.Blocks()) {
        if (block.type != BirdFile::BLOCK_FIRMWARE || block.length < 4)
            continue;
        const uint64_t start = block.address;
        const uint64_t end = start + (block.length - 4);
        if (start <= address && (uint64_t)address + n <= end)
            return true;
    }
    return false;
}

bool sKnownModel(const BirdFile& bird)
{
    // Model codes are one byte; every code without a name reads "Unknown".
    for (int code = 0; code < 256; code++) {
        const char* name = aDefs_GetModelName(code);
        if (strcmp(name, "Unknown") != 0 && bird.ValidateModel(name))
            return true;
    }
    return false;
}

void sStructure(const BirdFile& bird, std::vector<std::string>& problems)
{
    if (bird.Signature() != 0x62697264u)  // "bird"
        problems.push_back("the file does not start with the BIRD signature");
    if ((bird.Version() >> 8) == 0 || (bird.Version() & 0xFF) == 0)
        problems.push_back(StepText("the format version %u.%u is not valid", bird.Version() >> 8, bird.Version() & 0xFF));
    const BirdFile::ParseReport& parse = bird.Parse();
    if (bird.ContentSize() < 8)
        problems.push_back(StepText("the content is %u bytes, too short for a block count and a checksum",
                                   bird.ContentSize()));
    if (parse.overrun)
        problems.push_back(StepText("block %u (type %u) is %u bytes long but only %zu bytes follow it",
                                   bird.BlockCount() + 1, parse.overrun_type, parse.overrun_length,
                                   parse.overrun_room));
    else if (parse.extra_bytes < 0 && bird.ContentSize() >= 8)
        problems.push_back(StepText("the content ends %lld bytes short of its checksum", -parse.extra_bytes));
    if (parse.reported_count != bird.BlockCount() && bird.ContentSize() >= 4)
        problems.push_back(
            StepText("the file reports %u blocks but holds %u", parse.reported_count, bird.BlockCount()));
}

void sSegments(const BirdFile& bird, const BirdCheck::Options& options, std::vector<std::string>& problems)
{
    unsigned firmware = 0;
    unsigned loader = 0;
    for (const BirdBlock& block : bird.Blocks()) {
        if (block.type != BirdFile::BLOCK_LOADER && block.type != BirdFile::BLOCK_FIRMWARE)
            continue;
        unsigned index = block.type == BirdFile::BLOCK_LOADER ? ++loader : ++firmware;
        // A segment is its 4-byte load address and at least one byte of code.
        if (block.length <= 4)
            problems.push_back(StepText("%s block %u holds no code (%u bytes)", sBlockName(block.type), index,
                                       block.length));
    }
    if (firmware == 0 && options.need_firmware)
        problems.push_back("the file holds no firmware block");
    if (loader == 0 && options.need_loader)
        problems.push_back("the file holds no loader block");
}

void sSerialNumberLocations(const BirdFile& bird, std::vector<std::string>& problems)
{
    if (!bird.HasSerialNumberBlock())
        return;
    const uint32_t serial = bird.SerialNumberAddress();
    const uint32_t descriptor = bird.DescriptorAddress();
    if (serial == 0 && descriptor == 0)
        problems.push_back("the serial-number location block names no location");
    if (serial != 0 && !sInsideFirmware(bird, serial, 4))
        problems.push_back(StepText("the serial-number location %08X lies outside every firmware block", serial));
    if (descriptor != 0 && !sInsideFirmware(bird, descriptor, 16))
        problems.push_back(
            StepText("the serial-number descriptor location %08X lies outside every firmware block", descriptor));
}

void sIdentity(const BirdFile& bird, std::vector<std::string>& problems)
{
    bool found = false;
    for (const BirdBlock& block : bird.Blocks()) {
        if (block.type != BirdFile::BLOCK_INFORMATION)
            continue;
        found = true;
        if (block.length < BirdFile::INFO_BLOCK_SIZE)
            problems.push_back(StepText("the information block is %u bytes, %zu expected", block.length,
                                       BirdFile::INFO_BLOCK_SIZE));
        break;
    }
    if (!found) {
        problems.push_back("the file holds no information block");
        return;
    }
    if (!sKnownModel(bird))
        problems.push_back("the model \"" + bird.GetModel() + "\" is not a known device model");
}

}  // namespace

std::vector<std::string> BirdCheck::Problems(const BirdFile& bird, const Options& options)
{
    std::vector<std::string> problems;
    sStructure(bird, problems);
    sSegments(bird, options, problems);
    sSerialNumberLocations(bird, problems);
    if (options.identity)
        sIdentity(bird, problems);
    return problems;
}

std::vector<std::string> BirdCheck::FileProblems(const char* path, const Options& options, BirdFile* loaded)
{
    BirdFile bird;
    std::vector<std::string> problems;
    if (!bird.LoadFile(path))
        problems.push_back(LoadProblem(bird.Failure()));
    else
        problems = Problems(bird, options);
    if (loaded)
        *loaded = std::move(bird);
    return problems;
}

std::string BirdCheck::LoadProblem(BirdFile::LoadFailure failure)
{
    switch (failure) {
    case BirdFile::LOAD_OK:
        return std::string();
    case BirdFile::LOAD_UNREADABLE:
        return "the file cannot be read (missing, not a regular file, or unreadable)";
    case BirdFile::LOAD_TOO_SHORT:
        return "the file is too short to hold any content";
    case BirdFile::LOAD_TRUNCATED:
        return "the file is truncated: its compressed content ends early";
    case BirdFile::LOAD_CORRUPT:
        return "the content does not decompress";
    case BirdFile::LOAD_TOO_LARGE:
        return "the content expands to more than 8 times its compressed size";
    }
    return "the file cannot be loaded";
}

std::string BirdCheck::Summary(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& problem : problems) {
        if (!text.empty())
            text += "; ";
        text += problem;
    }
    return text;
}
