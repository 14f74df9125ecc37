// The plug-in surface: GetPluginInfo, IsSupported, GetPictureInfo and
// GetPreview, with the sources underneath. The header rule has its own
// tests (test_header.cpp), as have platform failures
// (robustness/test_faults.cpp).
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::vector<uint8_t> WithTail(std::vector<uint8_t> head, size_t tail) {
    head.resize(head.size() + tail, 0x5A);
    return head;
}

} // namespace

// ---------------------------------------------------------------- GetPluginInfo

TEST(PluginInfo, IndexOutsideTheTableWritesNothing) {
    for (int32_t index : {-1, 4, 5, INT32_MIN, INT32_MAX}) {
        char buffer[16];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(GetPluginInfo(index, buffer, sizeof buffer), 0) << index;
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(16, 'x')) << index;
    }
}

TEST(PluginInfo, TheFourStrings) {
    char buffer[128];
    EXPECT_EQ(GetPluginInfo(0, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "00IN");
    const int32_t banner = GetPluginInfo(1, buffer, sizeof buffer);
    EXPECT_EQ(banner, static_cast<int32_t>(strlen(buffer)));
    // Two blanks after the plug-in's name and version, then our mark with
    // the project's version.
    EXPECT_STREQ(buffer, "PXCM to DIB filter ver0.01  pxcm " PXCM_TEST_VERSION);
    EXPECT_EQ(GetPluginInfo(2, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "*");
    EXPECT_EQ(GetPluginInfo(3, buffer, sizeof buffer), 19);
    EXPECT_STREQ(buffer, "RIVERFOX CG (*.PXC)");
}

TEST(PluginInfo, TruncatesAndTerminatesWithinTheSize) {
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetPluginInfo(1, buffer, 5), 4);
    EXPECT_EQ(std::string(buffer, 8), std::string("PXCM\0xxx", 8));

    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetPluginInfo(3, buffer, 1), 0);
    EXPECT_EQ(std::string(buffer, 8), std::string("\0xxxxxxx", 8));
}

TEST(PluginInfo, ShortStringIsZeroFilledUpToTheTerminator) {
    char buffer[70];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetPluginInfo(0, buffer, 64), 4);
    EXPECT_EQ(std::string(buffer, 4), "00IN");
    for (int i = 4; i < 64; i++) EXPECT_EQ(buffer[i], '\0') << i;
    for (int i = 64; i < 70; i++) EXPECT_EQ(buffer[i], 'x') << i;
}

TEST(PluginInfo, SizeBelowOneWritesNothing) {
    for (int32_t size : {0, -1, INT32_MIN}) {
        char buffer[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(GetPluginInfo(0, buffer + 2, size), 0) << size;
        EXPECT_EQ(std::string(buffer, 4), "xxxx") << size;
    }
}

TEST(Preview, IsNotImplemented) {
    PxcmBlock info = reinterpret_cast<PxcmBlock>(0x1234), pixels = nullptr;
    EXPECT_EQ(GetPreview("whatever.pxc", 0, 0, &info, &pixels, nullptr, 0), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(info, reinterpret_cast<PxcmBlock>(0x1234));
}

// ---------------------------------------------------------------- GetPictureInfo

TEST(PictureInfo, FillsEveryFieldOfThePackedRecord) {
    PictureInfoBlock record = UntouchedRecord();
    ASSERT_EQ(InfoFromBytes(WithTail(HeaderBytes(0x1234, 0xFEDC), 10), &record), ERR_NONE);
    EXPECT_EQ(+record.left, 0);
    EXPECT_EQ(+record.top, 0);
    EXPECT_EQ(+record.width, 0x1234);
    EXPECT_EQ(+record.height, 0xFEDC);
    EXPECT_EQ(+record.x_density, 0);
    EXPECT_EQ(+record.y_density, 0);
    EXPECT_EQ(+record.depth, 24);
    EXPECT_EQ(+record.text_handle, 0u);
    // The host reads the record by byte offset: width at 8, height at 12,
    // depth at 20, nothing between the fields.
    uint8_t raw[sizeof record];
    memcpy(raw, &record, sizeof record);
    EXPECT_EQ(raw[8], 0x34);
    EXPECT_EQ(raw[9], 0x12);
    EXPECT_EQ(raw[12], 0xDC);
    EXPECT_EQ(raw[13], 0xFE);
    EXPECT_EQ(raw[20], 24);
    EXPECT_EQ(raw[21], 0);
    for (size_t i = 22; i < sizeof record; i++) EXPECT_EQ(raw[i], 0) << i;
}

TEST(PictureInfo, OnlyTheLowThreeModeBitsChooseTheSource) {
    const std::vector<uint8_t> file = HeaderBytes(5, 6);
    PictureInfoBlock record = UntouchedRecord();
    EXPECT_EQ(InfoFromBytes(file, &record, 0xFFFFFFF8u | SOURCE_MEMORY), ERR_NONE);
    EXPECT_EQ(+record.width, 5);
    EXPECT_EQ(+record.height, 6);
}

TEST(PictureInfo, UnsupportedKindsTouchNothing) {
    // A location that would fault if it were read.
    const char *poison = reinterpret_cast<const char *>(static_cast<uintptr_t>(16));
    for (uint32_t mode : {2u, 3u, 4u, 5u, 6u, 7u, 0x10u | 2u}) {
        PictureInfoBlock record = UntouchedRecord();
        EXPECT_EQ(GetPictureInfo(poison, 100, mode, &record), ERR_INTERNAL) << mode;
        EXPECT_TRUE(SameRecord(record, UntouchedRecord())) << mode;
        PxcmBlock info = reinterpret_cast<PxcmBlock>(0x1111);
        PxcmBlock pixels = reinterpret_cast<PxcmBlock>(0x2222);
        EXPECT_EQ(GetPicture(poison, 100, mode, &info, &pixels, nullptr, 0), ERR_INTERNAL);
        EXPECT_EQ(info, reinterpret_cast<PxcmBlock>(0x1111));
        EXPECT_EQ(pixels, reinterpret_cast<PxcmBlock>(0x2222));
    }
}

TEST(PictureInfo, NullMemoryBlockIsAZeroFilledBufferOfTheGivenSize) {
    PictureInfoBlock record = UntouchedRecord();
    EXPECT_EQ(GetPictureInfo(nullptr, 100, SOURCE_MEMORY, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(GetPictureInfo(nullptr, 10, SOURCE_MEMORY, &record), ERR_READ);
    EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
}

class PictureInfoFile : public WithFaults {};

TEST_F(PictureInfoFile, AtOffsetZeroAndBehindOtherData) {
    std::vector<uint8_t> junk(100, 0x77);
    std::vector<uint8_t> file = junk;
    const std::vector<uint8_t> picture = WithTail(HeaderBytes(640, 480), 30);
    file.insert(file.end(), picture.begin(), picture.end());
    TempFile plain(picture), embedded(file);

    PictureInfoBlock record = UntouchedRecord();
    EXPECT_EQ(GetPictureInfo(plain.path().c_str(), 0, SOURCE_FILE, &record), ERR_NONE);
    EXPECT_EQ(+record.width, 640);
    EXPECT_EQ(+record.height, 480);
    EXPECT_EQ(FaultsCalls(CALL_SEEK), 0); // offset 0 does no seek

    record = UntouchedRecord();
    EXPECT_EQ(GetPictureInfo(embedded.path().c_str(), 100, SOURCE_FILE, &record), ERR_NONE);
    EXPECT_EQ(+record.width, 640);
    EXPECT_EQ(FaultsCalls(CALL_SEEK), 1);

    // The junk is not a picture, nor is the file read from a wrong offset.
    record = UntouchedRecord();
    EXPECT_EQ(GetPictureInfo(embedded.path().c_str(), 0, SOURCE_FILE, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(GetPictureInfo(embedded.path().c_str(), 99, SOURCE_FILE, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(GetPictureInfo(embedded.path().c_str(), 200, SOURCE_FILE, &record), ERR_READ);
    EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
}

TEST_F(PictureInfoFile, MissingFileAndShortFile) {
    PictureInfoBlock record = UntouchedRecord();
    const std::string missing =
        TempDir().File("no-such-file.pxc");
    EXPECT_EQ(GetPictureInfo(missing.c_str(), 0, SOURCE_FILE, &record), ERR_READ);
    EXPECT_EQ(GetPictureInfo(nullptr, 0, SOURCE_FILE, &record), ERR_READ);
    std::vector<uint8_t> header = HeaderBytes(2, 2);
    header.pop_back();
    TempFile cut(header);
    EXPECT_EQ(GetPictureInfo(cut.path().c_str(), 0, SOURCE_FILE, &record), ERR_READ);
    EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
}

// ---------------------------------------------------------------- IsSupported

class Probe : public WithFaults {};

TEST_F(Probe, ThroughAPointerToTheFirst2048Bytes) {
    // Exactly 2048 bytes: anything read past them would be caught by the
    // address sanitizer.
    auto head = std::make_unique<uint8_t[]>(PROBE_SIZE);
    memset(head.get(), 0, PROBE_SIZE);
    const std::vector<uint8_t> header = HeaderBytes(100, 50);
    memcpy(head.get(), header.data(), header.size());
    const PxcmRef ref = reinterpret_cast<PxcmRef>(head.get());
    EXPECT_EQ(IsSupported("picture.pxc", ref), 1);
    EXPECT_EQ(IsSupported("not-by-name.bmp", ref), 1); // the name is never consulted
    EXPECT_EQ(IsSupported(nullptr, ref), 1);
    head[0] = 'p';
    EXPECT_EQ(IsSupported("picture.pxc", ref), 0);
    memset(head.get(), 0, PROBE_SIZE);
    EXPECT_EQ(IsSupported("picture.pxc", ref), 0);
}

#ifndef _WIN32
// Probing through a POSIX file descriptor, the portable stand-in for the
// host's file handle.
namespace {

struct OpenFd {
    explicit OpenFd(const std::string &name) : fd(open(name.c_str(), O_RDONLY)) {}
    ~OpenFd() {
        if (fd >= 0) close(fd);
    }
    int fd;
};

} // namespace

TEST_F(Probe, ThroughAFileDescriptorKeepsItsPosition) {
    std::vector<uint8_t> junk(300, 0x33);
    std::vector<uint8_t> file = junk;
    const std::vector<uint8_t> picture = WithTail(HeaderBytes(7, 7), 5000);
    file.insert(file.end(), picture.begin(), picture.end());
    TempFile temp(file);
    OpenFd f(temp.path());
    ASSERT_GE(f.fd, 0);
    ASSERT_LT(f.fd, 65536);

    const struct {
        off_t position;
        int32_t answer;
    } cases[] = {{300, 1}, {0, 0}, {301, 0}, {static_cast<off_t>(file.size()) - 24, 0},
                 {static_cast<off_t>(file.size()), 0}};
    for (const auto &c : cases) {
        ASSERT_EQ(lseek(f.fd, c.position, SEEK_SET), c.position);
        EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), c.answer) << c.position;
        EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), c.position) << c.position;
    }
}

TEST_F(Probe, ShortFilesThroughAFileDescriptor) {
    // A 10-byte file: no header, position unchanged. A file holding just a
    // header: the missing rest reads as zeros and the header is accepted.
    const std::vector<uint8_t> header = HeaderBytes(3, 3);
    const struct {
        std::vector<uint8_t> bytes;
        int32_t answer;
    } cases[] = {{std::vector<uint8_t>(10, 'P'), 0},
                 {std::vector<uint8_t>(header.begin(), header.begin() + 10), 0},
                 {header, 1},
                 {{}, 0}};
    for (const auto &c : cases) {
        TempFile temp(c.bytes);
        OpenFd f(temp.path());
        ASSERT_GE(f.fd, 0);
        EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), c.answer) << c.bytes.size();
        EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), 0) << c.bytes.size();
    }
}

TEST_F(Probe, ClosedDescriptorAnswersNo) {
    int fd;
    {
        TempFile temp(HeaderBytes(3, 3));
        OpenFd f(temp.path());
        fd = f.fd;
    }
    EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(fd)), 0);
}
#endif
