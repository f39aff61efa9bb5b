// The simulated LPC17xx ROM bootloader behaves like a real part for an independent ISP client:
// lpc21isp flashes an image over the pseudo-terminal and the flash holds it.
// test-labels: threads
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "IsolatedHome.h"
#include "LpcRomSim.h"
#include "Process.h"

namespace {

// An image whose vector table already carries a valid checksum (the first eight words add up
// to 0), so that the client has no reason to change it.
std::vector<uint8_t> sImage(size_t size)
{
    std::vector<uint8_t> image(size);
    uint32_t x = 0x1234567;
    for (uint8_t& b : image) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = (uint8_t)x;
    }
    uint32_t words[8];
    memcpy(words, image.data(), sizeof(words));
    uint32_t total = 0;
    for (int i = 0; i < 7; i++)
        total += words[i];
    words[7] = 0u - total;
    memcpy(image.data(), words, sizeof(words));
    return image;
}

}  // namespace

TEST(LpcRomInterop, Lpc21ispFlashesTheSimulator)
{
    TempDir dir;
    std::vector<uint8_t> image = sImage(20 * 1024);  // sectors 0 to 4
    FILE* f = fopen(dir.file("image.bin").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(image.size(), fwrite(image.data(), 1, image.size(), f));
    fclose(f);

    LpcRomConfig config;
    config.baud = 0;  // lock onto the rate the client chose
    LpcRomSim sim(config);
    ASSERT_TRUE(sim.Start());
    ProcessResult r = RunProcess({"lpc21isp", "-bin", dir.file("image.bin"), sim.Port(), "115200", "14746"}, 120000);
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    std::vector<uint8_t> flash = sim.Flash();
    EXPECT_EQ(0, memcmp(flash.data(), image.data(), image.size()));
    for (size_t i = image.size(); i < 0x8000; i++)
        ASSERT_EQ(0xFF, flash[i]) << i;
    uint32_t address = 1;
    EXPECT_TRUE(sim.AwaitExecuted(&address));
    EXPECT_EQ(0u, address);
}
