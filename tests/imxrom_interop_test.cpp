// The simulated i.MX RT1050 ROM behaves like a real part for an independent client: imx_uart
// (the UART form of the imx-usb-loader package) associates, loads an image described by its
// IVT into RAM over the pseudo-terminal and jumps to it.
// test-labels: threads
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "ImxRomSim.h"
#include "IsolatedHome.h"
#include "Process.h"

namespace {

void sPutLE32(std::vector<uint8_t>& v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v[at + i] = (uint8_t)(x >> (8 * i));
}

// An image that starts with an image vector table and boot data: loaded at 0x20000000,
// 12 KiB long, entry 0x20000100.
std::vector<uint8_t> sImage()
{
    const uint32_t load = 0x20000000, size = 12 * 1024;
    std::vector<uint8_t> image(size);
    for (size_t i = 0x100; i < size; i++)
        image[i] = (uint8_t)(i * 13 + 5);
    image[0] = 0xD1;  // IVT tag, length 0x0020 (big-endian), version 0x41
    image[1] = 0x00;
    image[2] = 0x20;
    image[3] = 0x41;
    sPutLE32(image, 4, load + 0x100);  // entry
    sPutLE32(image, 16, load + 0x20);  // boot data
    sPutLE32(image, 20, load);         // self
    sPutLE32(image, 0x20, load);       // boot data: start, length, plugin
    sPutLE32(image, 0x24, size);
    return image;
}

}  // namespace

TEST(ImxRomInterop, ImxUartLoadsAndJumps)
{
    TempDir dir;
    std::vector<uint8_t> image = sImage();
    FILE* f = fopen(dir.file("image.bin").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(image.size(), fwrite(image.data(), 1, image.size(), f));
    fclose(f);
    // The transfer description of the part: HID-style reports, 1 KiB packets, RAM areas.
    WriteFileText(dir.file("rt1050.conf"), "mx1050\nhid,1024,0x20000000,0x20000000,128K,0x20200000,256K\n");

    ImxRomSim sim;
    ASSERT_TRUE(sim.Start());
    // -n: a pseudo-terminal has no RTS/CTS lines.
    ProcessResult r =
        RunProcess({"imx_uart", "-n", sim.Port(), dir.file("rt1050.conf"), dir.file("image.bin")}, 60000);
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    std::vector<ImxSdpDevice::Write> writes = sim.device().Writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(0x20000000u, writes[0].address);
    EXPECT_EQ(image, writes[0].data);
    uint32_t entry = 0;
    EXPECT_TRUE(sim.device().Jumped(&entry));
    EXPECT_EQ(0x20000000u, entry);  // the jump names the IVT; the ROM takes the entry from it
}
