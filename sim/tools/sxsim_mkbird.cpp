// Writes a BIRD firmware file from options, for tests, simulators and the demo.
//
//   sxsim_mkbird --out FILE [--build N] [--version TEXT] [--serial HEX] [--model NAME]
//                [--loader-size N] [--loader-address HEX] [--firmware-size N]
//                [--firmware-address HEX] [--firmware-blocks N] [--serial-block SERIAL_ADDR,DESC_ADDR]
//                [--recovery HEX] [--encode K0,K1,K2,K3] [--seed N]
//                [--signature TEXT] [--file-version A,B] [--count N] [--tag-offset N]
//
// --tag-offset N: the firmware image carries the tag of its build and version at offset N, so
// the simulated device runs that build after the REBOOT of an update.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BirdWriter.h"
#include "SimUpgradeLogic.h"
#include "aVersion.h"

namespace {

void sUsage()
{
    fprintf(stderr,
            "usage: sxsim_mkbird --out FILE [--build N] [--version TEXT] [--serial HEX] [--model NAME]\n"
            "                    [--loader-size N] [--loader-address HEX] [--firmware-size N]\n"
            "                    [--firmware-address HEX] [--firmware-blocks N]\n"
            "                    [--serial-block SERIAL_ADDR,DESC_ADDR] [--recovery HEX]\n"
            "                    [--encode K0,K1,K2,K3] [--seed N] [--signature TEXT]\n"
            "                    [--file-version A,B] [--count N] [--tag-offset N]\n");
}

bool sNumber(const char* text, int base, unsigned long long max, unsigned long long* value)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

// A comma-separated list of exactly count numbers.
bool sNumbers(const char* text, int base, unsigned long long max, size_t count, unsigned long long* values)
{
    std::string rest = text ? text : "";
    for (size_t i = 0; i < count; i++) {
        size_t comma = rest.find(',');
        if ((comma == std::string::npos) != (i == count - 1))
            return false;
        std::string part = rest.substr(0, comma);
        if (!sNumber(part.c_str(), base, max, &values[i]))
            return false;
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string out, version = "1.0.0", model = "Juniper", signature = "bird";
    unsigned long long build = 1, serial = 0, loader_size = 1024, loader_address = 0x20000000;
    unsigned long long firmware_size = 4096, firmware_address = 0, firmware_blocks = 1, seed = 1;
    unsigned long long serial_block[2] = {0, 0}, recovery = 0, key[4] = {0, 0, 0, 0};
    unsigned long long file_version[2] = {1, 1}, count = 0;
    unsigned long long tag_offset = 0;
    bool has_serial_block = false, has_recovery = false, encode = false, has_count = false, has_tag = false;
    const unsigned long long MAX32 = 0xFFFFFFFFull;
    const unsigned long long MAX_SIZE = 64ull << 20;

    // Every option takes one value.
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (option == "--help" || option == "-h") {
            sUsage();
            return 0;
        } else if (option == "--out") {
            out = value ? value : "";
        } else if (option == "--build") {
            ok = ok && sNumber(value, 10, MAX32, &build);
        } else if (option == "--version") {
            version = value ? value : "";
        } else if (option == "--serial") {
            ok = ok && sNumber(value, 16, MAX32, &serial);
        } else if (option == "--model") {
            model = value ? value : "";
        } else if (option == "--loader-size") {
            ok = ok && sNumber(value, 10, MAX_SIZE, &loader_size);
        } else if (option == "--loader-address") {
            ok = ok && sNumber(value, 16, MAX32, &loader_address);
        } else if (option == "--firmware-size") {
            ok = ok && sNumber(value, 10, MAX_SIZE, &firmware_size);
        } else if (option == "--firmware-address") {
            ok = ok && sNumber(value, 16, MAX32, &firmware_address);
        } else if (option == "--firmware-blocks") {
            ok = ok && sNumber(value, 10, 4096, &firmware_blocks) && firmware_blocks > 0;
        } else if (option == "--serial-block") {
            ok = ok && sNumbers(value, 16, MAX32, 2, serial_block);
            has_serial_block = true;
        } else if (option == "--recovery") {
            ok = ok && sNumber(value, 16, MAX32, &recovery);
            has_recovery = true;
        } else if (option == "--encode") {
            ok = ok && sNumbers(value, 16, MAX32, 4, key);
            encode = true;
        } else if (option == "--seed") {
            ok = ok && sNumber(value, 10, MAX32, &seed);
        } else if (option == "--signature") {
            signature = value ? value : "";
            ok = ok && signature.size() == 4;
        } else if (option == "--file-version") {
            ok = ok && sNumbers(value, 10, 255, 2, file_version);
        } else if (option == "--tag-offset") {
            ok = ok && sNumber(value, 10, MAX_SIZE, &tag_offset);
            has_tag = true;
        } else if (option == "--count") {
            ok = ok && sNumber(value, 10, MAX32, &count);
            has_count = true;
        } else {
            fprintf(stderr, "sxsim_mkbird: unknown option %s\n", option.c_str());
            sUsage();
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "sxsim_mkbird: bad or missing value for %s\n", option.c_str());
            return 2;
        }
    }
    if (out.empty()) {
        fprintf(stderr, "sxsim_mkbird: --out FILE is required\n");
        sUsage();
        return 2;
    }

    BirdWriter writer;
    writer.SetSignature(signature);
    writer.SetVersion((uint8_t)file_version[0], (uint8_t)file_version[1]);
    writer.AddInformation((uint32_t)build, version, (uint32_t)serial, model);
    if (has_serial_block)
        writer.AddSerialNumberLocations((uint32_t)serial_block[0], (uint32_t)serial_block[1]);
    if (has_recovery)
        writer.AddRecoveryStart((uint32_t)recovery);
    if (loader_size > 0)
        writer.AddLoader((uint32_t)loader_address, BirdWriter::MakeCode((size_t)loader_size, (uint32_t)seed));

    std::vector<uint8_t> firmware = BirdWriter::MakeCode((size_t)firmware_size, (uint32_t)seed + 1);
    if (has_tag) {
        unsigned major = 0, minor = 0, patch = 0;
        sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch);
        const std::vector<uint8_t> tag = SimUpgradeLogic::FirmwareTag((uint32_t)build, aVersion_Pack(major, minor, patch));
        if (tag_offset + tag.size() > firmware.size()) {
            fprintf(stderr, "sxsim_mkbird: --tag-offset %llu leaves no room for the tag in the firmware\n", tag_offset);
            return 2;
        }
        std::copy(tag.begin(), tag.end(), firmware.begin() + (long)tag_offset);
    }
    size_t per_block = (firmware.size() + firmware_blocks - 1) / firmware_blocks;
    uint32_t key32[4] = {(uint32_t)key[0], (uint32_t)key[1], (uint32_t)key[2], (uint32_t)key[3]};
    for (size_t offset = 0; offset < firmware.size() || (offset == 0 && firmware.empty()); offset += per_block) {
        size_t end = offset + per_block < firmware.size() ? offset + per_block : firmware.size();
        std::vector<uint8_t> code(firmware.begin() + offset, firmware.begin() + end);
        uint32_t address = (uint32_t)(firmware_address + offset);
        if (encode)
            writer.AddEncodedFirmware(address, code, key32);
        else
            writer.AddFirmware(address, code);
        if (per_block == 0)
            break;
    }
    if (has_count)
        writer.SetReportedCount((uint32_t)count);

    aErr err = writer.Write(out);
    if (err != aErrNone) {
        fprintf(stderr, "sxsim_mkbird: cannot write %s (error %d)\n", out.c_str(), (int)err);
        return 1;
    }
    printf("sxsim_mkbird: wrote %s: build %llu, version %s, serial %08llX, model %s, %zu blocks\n", out.c_str(),
           build, version.c_str(), serial, model.c_str(), writer.Blocks().size());
    return 0;
}
