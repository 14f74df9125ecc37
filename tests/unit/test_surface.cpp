// The plug-in surface: GetPluginInfo, IsSupported, GetPictureInfo and
// GetPreview, with the sources and the header check underneath.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/streams.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::vector<uint8_t> WithTail(std::vector<uint8_t> head, size_t tail) {
    head.resize(head.size() + tail, 0x5A);
    return head;
}

int32_t InfoFromMemory(const std::vector<uint8_t> &bytes, PictureInfoBlock *record,
                       uint32_t mode = SOURCE_MEMORY) {
    return GetPictureInfo(reinterpret_cast<const char *>(bytes.data()),
                          static_cast<PxcmLong>(bytes.size()), mode, record);
}

PictureInfoBlock Untouched() {
    PictureInfoBlock r;
    memset(&r, 0xAB, sizeof r);
    return r;
}

bool SameRecord(const PictureInfoBlock &a, const PictureInfoBlock &b) {
    return memcmp(&a, &b, sizeof a) == 0;
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
    EXPECT_EQ(std::string(buffer).rfind("PXCM to DIB filter ver0.01  ", 0), 0u) << buffer;
    EXPECT_GT(banner, 28); // an author's mark follows the two blanks
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

// ---------------------------------------------------------------- header rule

namespace {

struct HeaderCase {
    const char *what;
    size_t at;
    std::vector<uint8_t> bytes;
};

// Every field broken in turn; each is refused on its own.
const HeaderCase BAD_HEADERS[] = {
    {"tag lower case", 0, {'p', 'x', 'c', 'm'}},
    {"tag one letter off", 3, {'N'}},
    {"tag reversed", 0, {'M', 'C', 'X', 'P'}},
    {"format word 1", 4, {1, 0, 0, 0}},
    {"format word 0", 4, {0, 0, 0, 0}},
    {"format word low byte set", 4, {1, 0, 1, 0}},
    {"format word big-endian", 4, {0, 1, 0, 0}},
    {"zero word at 8", 8, {0, 0, 0, 1}},
    {"depth 32", 16, {32, 0, 0, 0}},
    {"depth 0", 16, {0, 0, 0, 0}},
    {"depth 24 plus high bits", 19, {1}},
    {"zero word at 20", 20, {1, 0, 0, 0}},
    {"zero word at 20 top byte", 23, {0x80}},
};

std::vector<uint8_t> Broken(const HeaderCase &c) {
    std::vector<uint8_t> h = HeaderBytes(3, 2);
    std::copy(c.bytes.begin(), c.bytes.end(), h.begin() + static_cast<ptrdiff_t>(c.at));
    return h;
}

} // namespace

TEST(Header, EachBrokenFieldIsRefused) {
    for (const HeaderCase &c : BAD_HEADERS) {
        const std::vector<uint8_t> file = WithTail(Broken(c), 64);
        PictureInfoBlock record = Untouched();
        EXPECT_EQ(InfoFromMemory(file, &record), ERR_BAD_FORMAT) << c.what;
        EXPECT_TRUE(SameRecord(record, Untouched())) << c.what;

        std::vector<uint8_t> probe = file;
        probe.resize(2048, 0);
        EXPECT_EQ(IsSupported("a.pxc", reinterpret_cast<PxcmRef>(probe.data())), 0) << c.what;

        PxcmBlock info = reinterpret_cast<PxcmBlock>(0x1111);
        PxcmBlock pixels = reinterpret_cast<PxcmBlock>(0x2222);
        EXPECT_EQ(GetPicture(reinterpret_cast<const char *>(file.data()),
                             static_cast<PxcmLong>(file.size()), SOURCE_MEMORY, &info, &pixels,
                             nullptr, 0),
                  ERR_BAD_FORMAT)
            << c.what;
        EXPECT_EQ(info, reinterpret_cast<PxcmBlock>(0x1111)) << c.what;
        EXPECT_EQ(pixels, reinterpret_cast<PxcmBlock>(0x2222)) << c.what;
    }
}

TEST(Header, WidthAndHeightTakeAnyValue) {
    const uint32_t sizes[][2] = {{0, 0}, {0, 7}, {7, 0}, {1, 1}, {0x8000, 0x7FFF}, {65535, 65535}};
    for (const auto &s : sizes) {
        PictureInfoBlock record = Untouched();
        ASSERT_EQ(InfoFromMemory(HeaderBytes(s[0], s[1]), &record), ERR_NONE);
        // Widened without sign: 0x8000 and 65535 stay positive.
        EXPECT_EQ(+record.width, static_cast<int32_t>(s[0]));
        EXPECT_EQ(+record.height, static_cast<int32_t>(s[1]));
    }
}

TEST(Header, ShortSourceIsAReadError) {
    const std::vector<uint8_t> header = HeaderBytes(4, 4);
    for (size_t n : {1, 12, 23}) {
        std::vector<uint8_t> cut(header.begin(), header.begin() + static_cast<ptrdiff_t>(n));
        PictureInfoBlock record = Untouched();
        EXPECT_EQ(InfoFromMemory(cut, &record), ERR_READ) << n;
        EXPECT_TRUE(SameRecord(record, Untouched())) << n;
    }
}

// ---------------------------------------------------------------- GetPictureInfo

TEST(PictureInfo, FillsEveryFieldOfThePackedRecord) {
    PictureInfoBlock record = Untouched();
    ASSERT_EQ(InfoFromMemory(WithTail(HeaderBytes(0x1234, 0xFEDC), 10), &record), ERR_NONE);
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
    PictureInfoBlock record = Untouched();
    EXPECT_EQ(InfoFromMemory(file, &record, 0xFFFFFFF8u | SOURCE_MEMORY), ERR_NONE);
    EXPECT_EQ(+record.width, 5);
    EXPECT_EQ(+record.height, 6);
}

TEST(PictureInfo, UnsupportedKindsTouchNothing) {
    // A location that would fault if it were read.
    const char *poison = reinterpret_cast<const char *>(static_cast<uintptr_t>(16));
    for (uint32_t mode : {2u, 3u, 4u, 5u, 6u, 7u, 0x10u | 2u}) {
        PictureInfoBlock record = Untouched();
        EXPECT_EQ(GetPictureInfo(poison, 100, mode, &record), ERR_INTERNAL) << mode;
        EXPECT_TRUE(SameRecord(record, Untouched())) << mode;
        PxcmBlock info = reinterpret_cast<PxcmBlock>(0x1111);
        PxcmBlock pixels = reinterpret_cast<PxcmBlock>(0x2222);
        EXPECT_EQ(GetPicture(poison, 100, mode, &info, &pixels, nullptr, 0), ERR_INTERNAL);
        EXPECT_EQ(info, reinterpret_cast<PxcmBlock>(0x1111));
        EXPECT_EQ(pixels, reinterpret_cast<PxcmBlock>(0x2222));
    }
}

TEST(PictureInfo, NullMemoryBlockIsAZeroFilledBufferOfTheGivenSize) {
    PictureInfoBlock record = Untouched();
    EXPECT_EQ(GetPictureInfo(nullptr, 100, SOURCE_MEMORY, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(GetPictureInfo(nullptr, 10, SOURCE_MEMORY, &record), ERR_READ);
    EXPECT_TRUE(SameRecord(record, Untouched()));
}

class PictureInfoFile : public WithFaults {};

TEST_F(PictureInfoFile, AtOffsetZeroAndBehindOtherData) {
    std::vector<uint8_t> junk(100, 0x77);
    std::vector<uint8_t> file = junk;
    const std::vector<uint8_t> picture = WithTail(HeaderBytes(640, 480), 30);
    file.insert(file.end(), picture.begin(), picture.end());
    TempFile plain(picture), embedded(file);

    PictureInfoBlock record = Untouched();
    EXPECT_EQ(GetPictureInfo(plain.name().c_str(), 0, SOURCE_FILE, &record), ERR_NONE);
    EXPECT_EQ(+record.width, 640);
    EXPECT_EQ(+record.height, 480);
    EXPECT_EQ(FaultsCalls(CALL_SEEK), 0); // offset 0 does no seek

    record = Untouched();
    EXPECT_EQ(GetPictureInfo(embedded.name().c_str(), 100, SOURCE_FILE, &record), ERR_NONE);
    EXPECT_EQ(+record.width, 640);
    EXPECT_EQ(FaultsCalls(CALL_SEEK), 1);

    // The junk is not a picture, nor is the file read from a wrong offset.
    record = Untouched();
    EXPECT_EQ(GetPictureInfo(embedded.name().c_str(), 0, SOURCE_FILE, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(GetPictureInfo(embedded.name().c_str(), 99, SOURCE_FILE, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(GetPictureInfo(embedded.name().c_str(), 200, SOURCE_FILE, &record), ERR_READ);
    EXPECT_TRUE(SameRecord(record, Untouched()));
}

TEST_F(PictureInfoFile, MissingFileAndShortFile) {
    PictureInfoBlock record = Untouched();
    const std::string missing =
        (std::filesystem::temp_directory_path() / "pxcm-test-no-such-file.pxc").string();
    EXPECT_EQ(GetPictureInfo(missing.c_str(), 0, SOURCE_FILE, &record), ERR_READ);
    EXPECT_EQ(GetPictureInfo(nullptr, 0, SOURCE_FILE, &record), ERR_READ);
    std::vector<uint8_t> header = HeaderBytes(2, 2);
    header.pop_back();
    TempFile cut(header);
    EXPECT_EQ(GetPictureInfo(cut.name().c_str(), 0, SOURCE_FILE, &record), ERR_READ);
    EXPECT_TRUE(SameRecord(record, Untouched()));
}

// ---------------------------------------------------------------- source failures

namespace {

struct InfoFault {
    const char *what;
    bool from_file;
    PxcmLong offset;      // file sources only
    bool good_header;
    PlatformCall call;
    int k;
    int32_t expected;
    bool record_filled;
    int closes;           // close calls made: 0 when nothing was left open
};

const InfoFault INFO_FAULTS[] = {
    {"memory open", false, 0, true, CALL_OPEN_MEMORY, 1, ERR_MEMORY, false, 0},
    {"file open", true, 0, true, CALL_OPEN_FILE, 1, ERR_READ, false, 0},
    {"seek", true, 100, true, CALL_SEEK, 1, ERR_READ, false, 1},
    {"header read, memory", false, 0, true, CALL_READ, 1, ERR_READ, false, 1},
    {"header read, file", true, 100, true, CALL_READ, 1, ERR_READ, false, 1},
    {"close after success, memory", false, 0, true, CALL_CLOSE, 1, ERR_READ, true, 1},
    {"close after success, file", true, 100, true, CALL_CLOSE, 1, ERR_READ, true, 1},
    {"close after refusal", false, 0, false, CALL_CLOSE, 1, ERR_BAD_FORMAT, false, 1},
};

} // namespace

class PictureInfoFaults : public WithFaults {};

TEST_F(PictureInfoFaults, EveryFailureRow) {
    for (const InfoFault &f : INFO_FAULTS) {
        std::vector<uint8_t> picture = WithTail(HeaderBytes(9, 8), 40);
        if (!f.good_header) picture[5] = 1;
        std::vector<uint8_t> file(static_cast<size_t>(f.offset), 0);
        file.insert(file.end(), picture.begin(), picture.end());
        TempFile temp(file);

        FaultsReset();
        FaultsArm(f.call, f.k);
        PictureInfoBlock record = Untouched();
        const int32_t result = f.from_file
                                   ? GetPictureInfo(temp.name().c_str(), f.offset, SOURCE_FILE, &record)
                                   : InfoFromMemory(picture, &record);
        EXPECT_EQ(result, f.expected) << f.what;
        EXPECT_EQ(FaultsCalls(f.call), f.k) << f.what << ": the armed call was not made";
        EXPECT_EQ(FaultsCalls(CALL_CLOSE), f.closes) << f.what;
        if (f.record_filled) {
            EXPECT_EQ(+record.width, 9) << f.what;
            EXPECT_EQ(+record.height, 8) << f.what;
            EXPECT_EQ(+record.depth, 24) << f.what;
        } else {
            EXPECT_TRUE(SameRecord(record, Untouched())) << f.what;
        }
    }
}

// ---------------------------------------------------------------- IsSupported

class Probe : public WithFaults {};

TEST_F(Probe, ThroughAPointerToTheFirst2048Bytes) {
    // Exactly 2048 bytes: anything read past them would be caught by the
    // address sanitizer.
    auto head = std::make_unique<uint8_t[]>(2048);
    memset(head.get(), 0, 2048);
    const std::vector<uint8_t> header = HeaderBytes(100, 50);
    memcpy(head.get(), header.data(), header.size());
    const PxcmRef ref = reinterpret_cast<PxcmRef>(head.get());
    EXPECT_EQ(IsSupported("picture.pxc", ref), 1);
    EXPECT_EQ(IsSupported("not-by-name.bmp", ref), 1); // the name is never consulted
    EXPECT_EQ(IsSupported(nullptr, ref), 1);
    head[0] = 'p';
    EXPECT_EQ(IsSupported("picture.pxc", ref), 0);
    memset(head.get(), 0, 2048);
    EXPECT_EQ(IsSupported("picture.pxc", ref), 0);
}

TEST_F(Probe, FailuresAnswerNo) {
    std::vector<uint8_t> head = HeaderBytes(1, 1);
    head.resize(2048, 0);
    const PxcmRef ref = reinterpret_cast<PxcmRef>(head.data());
    const struct {
        PlatformCall call;
        int closes;
    } cases[] = {{CALL_OPEN_MEMORY, 0}, {CALL_READ, 1}};
    for (const auto &c : cases) {
        FaultsReset();
        FaultsArm(c.call, 1);
        EXPECT_EQ(IsSupported("a.pxc", ref), 0) << c.call;
        EXPECT_EQ(FaultsCalls(CALL_CLOSE), c.closes) << c.call;
    }
    // A failing close does not change the answer.
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    EXPECT_EQ(IsSupported("a.pxc", ref), 1);
    EXPECT_EQ(FaultsCalls(CALL_CLOSE), 1);
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
    OpenFd f(temp.name());
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
        OpenFd f(temp.name());
        ASSERT_GE(f.fd, 0);
        EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), c.answer) << c.bytes.size();
        EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), 0) << c.bytes.size();
    }
}

TEST_F(Probe, FileDescriptorFailuresAnswerNoAndCloseTheProbe) {
    TempFile temp(WithTail(HeaderBytes(7, 7), 3000));
    OpenFd f(temp.name());
    ASSERT_GE(f.fd, 0);
    const struct {
        PlatformCall call;
        int closes;
        bool position_kept;
    } cases[] = {
        {CALL_OPEN_MEMORY, 0, true}, // nothing opened
        {CALL_GET_INFO, 1, true},    // the probe buffer is closed again
        {CALL_FILE_READ, 1, true},
        {CALL_FILE_REWIND, 1, false}, // read 2048 bytes, could not go back
        {CALL_READ, 1, true},         // the header read from the probe buffer
    };
    for (const auto &c : cases) {
        ASSERT_EQ(lseek(f.fd, 0, SEEK_SET), 0);
        FaultsReset();
        FaultsArm(c.call, 1);
        EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), 0) << c.call;
        EXPECT_EQ(FaultsCalls(c.call), 1) << c.call;
        EXPECT_EQ(FaultsCalls(CALL_CLOSE), c.closes) << c.call;
        if (c.position_kept) {
            EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), 0) << c.call;
        }
    }
    FaultsReset();
    ASSERT_EQ(lseek(f.fd, 0, SEEK_SET), 0);
    EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), 1);
}

TEST_F(Probe, ClosedDescriptorAnswersNo) {
    int fd;
    {
        TempFile temp(HeaderBytes(3, 3));
        OpenFd f(temp.name());
        fd = f.fd;
    }
    EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(fd)), 0);
}
#endif
