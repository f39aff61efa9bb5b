// Loads arbitrary bytes as a BIRD file, runs the whole-file check, and every query and edit over
// what was parsed.
#include <cstddef>
#include <cstdint>

#include "BirdCheck.h"
#include "BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BirdFile file;
    if (!file.LoadBuffer(data, size)) {
        BirdCheck::LoadProblem(file.Failure());
        return 0;
    }
    BirdCheck::Problems(file);
    file.GetBuild();
    file.GetVersion();
    file.GetSerialNumber();
    file.ValidateModel("Juniper");
    file.FindBlocks(BirdFile::BLOCK_RECOVERY_START);
    file.ReplaceSerialNumber(0x12345678);
    file.ReplaceVectorChecksum();
    file.DecodeFirmwareBlocks(0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10);
    const uint8_t pattern[] = {0x00, 0x00, 0x20};
    file.ValidateData(pattern, sizeof(pattern));
    BirdFile moved(std::move(file));
    moved.ReplaceSerialNumber(0xFFFFFFFF);
    return 0;
}
