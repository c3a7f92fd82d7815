// SPDX-License-Identifier: GPL-2.0-or-later
// The GPIO library against a sparse file standing in for /dev/mem: the test maps the same
// file and reads the PIO registers back at their byte offsets in the window.
#include "capture.h"
#include "gpio_aw.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr off_t FILE_SIZE = 0x01C22000;

struct MemFile {
    char path[64] = "/tmp/kit-devmem-XXXXXX";
    int fd;
    volatile uint32_t *window;
    MemFile()
    {
        fd = mkstemp(path);
        EXPECT_EQ(0, ftruncate(fd, FILE_SIZE));  // sparse: no blocks until written
        window = (volatile uint32_t *)mmap(nullptr, 0x2000, PROT_READ | PROT_WRITE, MAP_SHARED,
                                           fd, 0x01C20000);
    }
    ~MemFile()
    {
        gpio_aw_close();
        munmap((void *)window, 0x2000);
        close(fd);
        unlink(path);
    }
    uint32_t &reg(uint32_t offset) { return *(uint32_t *)&window[offset / 4]; }
    void open_library() { ASSERT_GE(gpio_aw_open(path), 0); }
};

// Registers of the pins used below, as byte offsets in the window.
constexpr uint32_t PH_CONFIG0 = 0x8FC;  // PH0-PH7
constexpr uint32_t PH_DATA = 0x90C;
constexpr uint32_t PH_PULL0 = 0x918;    // PH0-PH15
constexpr uint32_t PI_CONFIG2 = 0x928;  // PI16-PI23
constexpr uint32_t PI_CONFIG3 = 0x92C;  // PI24-PI31
constexpr uint32_t PI_DATA = 0x930;
constexpr uint32_t PI_PULL1 = 0x940;    // PI16-PI31

TEST(GpioAw, ReadingPI20UsesItsConfigDataAndPullWords)
{
    MemFile mem;
    mem.reg(PI_CONFIG2) = 7u << 16;
    mem.reg(PI_DATA) = 1u << 20;
    mem.open_library();
    uint8_t level = 9;
    EXPECT_EQ(0, gpio_aw_read(276, &level));
    EXPECT_EQ(level, 1);
    EXPECT_EQ(mem.reg(PI_CONFIG2), 0u);        // function 0 (input) in bits 16-18
    EXPECT_EQ(mem.reg(PI_PULL1), 1u << 8);     // pull-up in bits 8-9
    mem.reg(PI_DATA) = ~(1u << 20);
    EXPECT_EQ(0, gpio_aw_read(276, &level));
    EXPECT_EQ(level, 0);
}

TEST(GpioAw, FirstWriteOfPH3SetsPullClearsFunctionSelectsOutputThenDrives)
{
    MemFile mem;
    // Function 6 and the fourth bit set: only "clear, then OR 1" in that order gives 0x9.
    mem.reg(PH_CONFIG0) = 0x1234E678;
    mem.reg(PH_PULL0) = 0xFFFFFFFF;
    mem.reg(PH_DATA) = 0xFFFFFFFF;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_write(227, 0));
    EXPECT_EQ(mem.reg(PH_CONFIG0), 0x12349678u);
    EXPECT_EQ(mem.reg(PH_PULL0), 0xFFFFFF7Fu);
    EXPECT_EQ(mem.reg(PH_DATA), 0xFFFFFFF7u);

    // The pin is set up now: a second write touches the data word only.
    mem.reg(PH_CONFIG0) = 0;
    mem.reg(PH_PULL0) = 0;
    EXPECT_EQ(0, gpio_aw_write(227, 1));
    EXPECT_EQ(mem.reg(PH_CONFIG0), 0u);
    EXPECT_EQ(mem.reg(PH_PULL0), 0u);
    EXPECT_EQ(mem.reg(PH_DATA), 0xFFFFFFFFu);
}

TEST(GpioAw, ReadAfterWriteSwitchesToInputAndTheNextWriteBackToOutput)
{
    MemFile mem;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_write(227, 1));
    mem.reg(PH_PULL0) = 0;  // a switch of direction does not repeat the set-up
    uint8_t level = 0;
    EXPECT_EQ(0, gpio_aw_read(227, &level));
    EXPECT_EQ(level, 1);
    EXPECT_EQ(mem.reg(PH_CONFIG0), 0u);
    EXPECT_EQ(0, gpio_aw_read(227, &level));
    EXPECT_EQ(mem.reg(PH_CONFIG0), 0u);
    EXPECT_EQ(0, gpio_aw_write(227, 0));
    EXPECT_EQ(mem.reg(PH_CONFIG0), 1u << 12);
    EXPECT_EQ(mem.reg(PH_DATA), 0u);
    EXPECT_EQ(mem.reg(PH_PULL0), 0u);
}

TEST(GpioAw, AnyNonZeroValueDrivesHigh)
{
    MemFile mem;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_write(276, 2));
    EXPECT_EQ(mem.reg(PI_DATA), 1u << 20);
    EXPECT_EQ(0, gpio_aw_write(276, 0x100));  // not cut to a byte
    EXPECT_EQ(mem.reg(PI_DATA), 1u << 20);
}

TEST(GpioAw, DirectDirectionCallsDoNotCountAsSetUp)
{
    MemFile mem;
    mem.open_library();
    gpio_aw_set_output(227);
    EXPECT_EQ(mem.reg(PH_CONFIG0), 1u << 12);
    EXPECT_EQ(mem.reg(PH_PULL0), 0u);
    EXPECT_EQ(0, gpio_aw_write(227, 1));
    EXPECT_EQ(mem.reg(PH_PULL0), 1u << 6);
    gpio_aw_set_input(276);
    gpio_aw_set_pull(276, 0);
    EXPECT_EQ(mem.reg(PI_PULL1), 0u);
}

TEST(GpioAw, ReleaseSelectsFunction4OnPH0AndPH1Only)
{
    MemFile mem;
    mem.reg(PH_CONFIG0) = 0xFFFFFFFF;
    mem.reg(PH_PULL0) = 0xFFFFFFFF;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_release(224, 1));
    EXPECT_EQ(mem.reg(PH_CONFIG0) & 0xF, 0xCu);  // fourth bit untouched, function 4
    EXPECT_EQ(mem.reg(PH_PULL0) & 0x3, 0u);
    EXPECT_EQ(0, gpio_aw_release(227, 1));
    EXPECT_EQ((mem.reg(PH_CONFIG0) >> 12) & 7, 0u);
    EXPECT_EQ((mem.reg(PH_PULL0) >> 6) & 3, 0u);
    EXPECT_EQ(0, gpio_aw_release(225, 0));       // without the flag: plain input
    EXPECT_EQ((mem.reg(PH_CONFIG0) >> 4) & 7, 0u);
}

TEST(GpioAw, WriteAfterReleaseToFunction4SelectsOutputNotFunction5)
{
    MemFile mem;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_write(224, 0));
    EXPECT_EQ(0, gpio_aw_release(224, 1));
    EXPECT_EQ(mem.reg(PH_CONFIG0) & 7, 4u);
    EXPECT_EQ(0, gpio_aw_write(224, 1));
    EXPECT_EQ(mem.reg(PH_CONFIG0) & 7, 1u);
    EXPECT_EQ(mem.reg(PH_DATA) & 1, 1u);
}

TEST(GpioAw, PinRange)
{
    MemFile mem;
    mem.open_library();
    // PI31 is the last pin.
    EXPECT_EQ(0, gpio_aw_write(287, 1));
    EXPECT_EQ(mem.reg(PI_CONFIG3), 1u << 28);
    EXPECT_EQ(mem.reg(PI_DATA), 1u << 31);
    // 288 is refused by all three without touching a register or the level byte.
    uint32_t before[0x800];
    memcpy(before, (const void *)mem.window, sizeof(before));
    uint8_t level = 7;
    EXPECT_EQ(-1, gpio_aw_read(288, &level));
    EXPECT_EQ(level, 7);
    EXPECT_EQ(-1, gpio_aw_write(288, 1));
    EXPECT_EQ(-1, gpio_aw_release(288, 1));
    EXPECT_EQ(-1, gpio_aw_write(0xFFFFFFFF, 1));
    EXPECT_EQ(0, memcmp(before, (const void *)mem.window, sizeof(before)));
}

TEST(GpioAw, NothingWorksBeforeOpenAndCloseWithoutOpenIsSilent)
{
    uint8_t level = 7;
    EXPECT_EQ(-1, gpio_aw_read(0, &level));
    EXPECT_EQ(level, 7);
    EXPECT_EQ(-1, gpio_aw_write(0, 1));
    EXPECT_EQ(-1, gpio_aw_release(0, 0));
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(-1, gpio_aw_close());
    EXPECT_EQ(out.text(), "");
}

TEST(GpioAw, OpenAndCloseReturnTheDescriptorAndZero)
{
    MemFile mem;
    int fd = gpio_aw_open(mem.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_SYNC, 0);
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(0, gpio_aw_close());
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    // The window is gone: pins are refused instead of touching it.
    uint8_t level;
    EXPECT_EQ(-1, gpio_aw_read(276, &level));
    EXPECT_EQ(-1, gpio_aw_write(227, 1));
    EXPECT_EQ(-1, gpio_aw_close());
}

TEST(GpioAw, FailedOpenWarnsOnStdoutKeepsErrnoAndRefusesPins)
{
    int result;
    int error;
    {
        CaptureFd out(STDOUT_FILENO);
        errno = 0;
        result = gpio_aw_open("/nonexistent/kit-devmem");
        error = errno;
        EXPECT_EQ(out.text(), "gpio_aw_open: warning: open failed [No such file or directory]\n");
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, ENOENT);
    uint8_t level = 7;
    EXPECT_EQ(-1, gpio_aw_read(276, &level));
    EXPECT_EQ(level, 7);
    EXPECT_EQ(-1, gpio_aw_write(227, 1));
    EXPECT_EQ(-1, gpio_aw_release(224, 1));
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(-1, gpio_aw_close());
    EXPECT_EQ(out.text(), "");
}

TEST(GpioAw, FailedMappingWarnsClosesTheDeviceAndRefusesPins)
{
    // A FIFO opens read-write but cannot be mapped.
    char dir[] = "/tmp/kit-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/mem";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int next_fd = dup(0);  // the descriptor the library will get
    close(next_fd);

    int result;
    {
        CaptureFd out(STDOUT_FILENO);
        result = gpio_aw_open(fifo.c_str());
        EXPECT_EQ(out.text(), "gpio_aw_open: warning: mmap failed [No such device]\n");
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(-1, fcntl(next_fd, F_GETFD));  // closed again
    EXPECT_EQ(-1, gpio_aw_write(227, 1));
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(-1, gpio_aw_close());
    EXPECT_EQ(out.text(), "");
    unlink(fifo.c_str());
    rmdir(dir);
}

TEST(GpioAw, OpenForgetsSetUpSoTheNextWriteSetsThePullUpAgain)
{
    MemFile mem;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_write(227, 1));
    EXPECT_EQ(0, gpio_aw_close());
    mem.reg(PH_PULL0) = 0;
    mem.open_library();
    EXPECT_EQ(0, gpio_aw_write(227, 1));
    EXPECT_EQ(mem.reg(PH_PULL0), 1u << 6);
}

}  // namespace
