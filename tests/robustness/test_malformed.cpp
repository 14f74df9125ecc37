// Malformed pictures: every truncation, single-bit flips, each header field
// wrong in turn, and headers that claim far more than the stream holds.
// Each gives a result code or a decode, never a crash, and never ERR_NONE
// for a refused header.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "encoder/writer.h"
#include "platform/faults.h"
#include "robustness/support.h"
#include "support/random_stream.h"

namespace {

struct Subject {
    std::string name;
    Bytes file;
    Bytes pixels; // expected decode; empty when not known in advance
};

std::vector<Subject> Subjects() {
    std::vector<Subject> s;
    s.push_back({"example 2x1", ExamplePicture(), {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0, 0}});
    RandomPicture a = MakeRandomPicture(11, 7, 5);
    s.push_back({"random 7x5", a.file, a.pixels});
    RandomPicture b = MakeRandomPicture(12, 33, 9);
    s.push_back({"random 33x9", b.file, b.pixels});
    RandomStreamOptions long_codes;
    long_codes.escape_share = 0.3;
    long_codes.max_code_length = 24;
    RandomPicture c = MakeRandomPicture(13, 40, 24, long_codes);
    s.push_back({"random 40x24, long codes", c.file, c.pixels});
    for (const std::string &path : SampleFiles()) s.push_back({path, ReadWholeFile(path), {}});
    return s;
}

PictureInfoBlock Untouched() {
    PictureInfoBlock r;
    memset(&r, 0xA5, sizeof r);
    return r;
}

bool SameRecord(const PictureInfoBlock &a, const PictureInfoBlock &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

int32_t ProbePointer(const Bytes &file) {
    Bytes head(2048, 0);
    if (!file.empty()) memcpy(head.data(), file.data(), std::min<size_t>(file.size(), head.size()));
    return IsSupported("x.pxc", reinterpret_cast<PxcmRef>(head.data()));
}

// Progress of a complete decode: 0 .. height-1, then height.
bool FullProgress(const Decoded &d, uint32_t height) {
    if (!d.denominators_ok || d.progress.size() != height + 1u) return false;
    for (uint32_t i = 0; i <= height; i++)
        if (d.progress[i] != static_cast<int32_t>(i)) return false;
    return true;
}

// A refused header: the exact code, nothing handed out, no callback.
void ExpectRefused(const Bytes &file, int32_t code, const std::string &what) {
    SCOPED_TRACE(what);
    const Decoded d = DecodeMemory(file);
    EXPECT_EQ(d.result, code);
    EXPECT_TRUE(d.info_untouched && d.pixels_untouched);
    EXPECT_TRUE(d.progress.empty());
    PictureInfoBlock record = Untouched();
    EXPECT_EQ(GetPictureInfo(reinterpret_cast<const char *>(file.data()),
                             static_cast<PxcmLong>(file.size()), SOURCE_MEMORY, &record),
              code);
    EXPECT_TRUE(SameRecord(record, Untouched()));
    // The probe always sees 2048 bytes, a short file padded with zeros: a
    // header cut within its final zero bytes still passes there.
    Bytes head = file;
    head.resize(2048, 0);
    EXPECT_EQ(ProbePointer(file), HeaderAccepted(head) ? 1 : 0);
}

} // namespace

// The lengths a file is cut to: every length from 0 to the whole file for
// the random pictures. The samples are larger pictures, and each cut costs a
// decode of up to 16384 tokens (then the next table set, read from zero
// bits, is refused), which under the sanitizers takes milliseconds: there
// the suite takes the first 768 lengths, the last 128 and 256 spread
// between, unless PXCM_ALL_TRUNCATIONS=1 asks for every one.
std::vector<size_t> CutLengths(size_t size, bool sample) {
    std::vector<size_t> lengths;
    const char *all = getenv("PXCM_ALL_TRUNCATIONS");
    if (!sample || (all != nullptr && strcmp(all, "1") == 0) || size <= 1152) {
        for (size_t len = 0; len <= size; len++) lengths.push_back(len);
        return lengths;
    }
    for (size_t len = 0; len < 768; len++) lengths.push_back(len);
    for (size_t i = 0; i < 256; i++) lengths.push_back(768 + (size - 896) * i / 256);
    for (size_t len = size - 128; len <= size; len++) lengths.push_back(len);
    return lengths;
}

// Every prefix of every subject, from 0 bytes to the whole file. Past the
// end of the data the stream reads as zero bits, so a cut that still
// decodes must decode exactly as the cut with zero bytes appended.
TEST(Malformed, EveryTruncation) {
    for (const Subject &s : Subjects()) {
        SCOPED_TRACE(s.name);
        const Decoded whole = DecodeMemory(s.file);
        ASSERT_EQ(whole.result, ERR_NONE);
        if (!s.pixels.empty()) {
            ASSERT_EQ(whole.pixels, s.pixels);
        }
        const uint32_t width = s.file[12] | s.file[13] << 8, height = s.file[14] | s.file[15] << 8;
        const size_t size = s.file.size();
        for (size_t len : CutLengths(size, s.pixels.empty())) {
            SCOPED_TRACE("length " + std::to_string(len));
            const Bytes cut(s.file.begin(), s.file.begin() + static_cast<long>(len));
            if (len < 24) {
                ExpectRefused(cut, ERR_READ, "short header");
                continue;
            }
            const Decoded d = DecodeMemory(cut);
            if (len == size) {
                EXPECT_EQ(d.result, ERR_NONE);
            } else {
                ASSERT_TRUE(d.result == ERR_NONE || d.result == ERR_READ) << d.result;
            }
            if (d.result == ERR_NONE) {
                ASSERT_TRUE(FullProgress(d, height));
                ASSERT_EQ(d.pixels.size(), BitmapBytes(width, height));
                Bytes padded = cut;
                padded.resize(len + 8, 0);
                const Decoded z = DecodeMemory(padded);
                ASSERT_EQ(z.result, ERR_NONE);
                ASSERT_EQ(d.pixels, z.pixels);
            } else {
                EXPECT_FALSE(d.info_untouched); // the blocks were allocated, then freed
            }
            PictureInfoBlock record = Untouched();
            ASSERT_EQ(GetPictureInfo(reinterpret_cast<const char *>(cut.data()),
                                     static_cast<PxcmLong>(len), SOURCE_MEMORY, &record),
                      ERR_NONE);
            EXPECT_EQ(+record.width, static_cast<int32_t>(width));
            EXPECT_EQ(+record.height, static_cast<int32_t>(height));
            EXPECT_EQ(ProbePointer(cut), 1);
        }
    }
}

// Every single-bit flip in the first 320 bytes: the header's fixed fields
// must be refused, a changed width or height decodes or fails cleanly, and
// a damaged stream decodes to something of the right size or is refused.
TEST(Malformed, SingleBitFlips) {
    RandomStreamOptions escapes;
    escapes.escape_share = 0.3;
    const RandomPicture pictures[] = {MakeRandomPicture(21, 9, 6),
                                      MakeRandomPicture(22, 40, 20, escapes)};
    for (const RandomPicture &pic : pictures) {
        const size_t limit = std::min<size_t>(pic.file.size(), 320);
        for (size_t bit = 0; bit < 8 * limit; bit++) {
            SCOPED_TRACE("byte " + std::to_string(bit / 8) + " bit " + std::to_string(bit % 8));
            Bytes f = pic.file;
            f[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
            const size_t byte = bit / 8;
            if (byte < 24 && (byte < 12 || byte >= 16)) {
                ASSERT_FALSE(HeaderAccepted(f));
                ExpectRefused(f, ERR_BAD_FORMAT, "fixed header field");
                continue;
            }
            const uint32_t width = f[12] | f[13] << 8, height = f[14] | f[15] << 8;
            const Decoded d = DecodeMemory(f);
            if (d.result == ERR_NONE) {
                ASSERT_TRUE(FullProgress(d, height));
                ASSERT_EQ(d.pixels.size(), BitmapBytes(width, height));
                EXPECT_EQ(+d.header.biWidth, static_cast<int32_t>(width));
                EXPECT_EQ(+d.header.biHeight, static_cast<int32_t>(height));
                EXPECT_EQ(+d.header.biSizeImage, BitmapBytes(width, height));
            } else if (BitmapBytes(width, height) == 0) {
                EXPECT_EQ(d.result, ERR_MEMORY); // a zero-size block cannot be locked here
            } else {
                ASSERT_EQ(d.result, ERR_READ);
            }
        }
    }
}

// Each fixed field of the header wrong in turn, through memory, file and
// both probes; the width and height are never refused.
TEST(Malformed, EachHeaderFieldWrong) {
    const RandomPicture pic = MakeRandomPicture(31, 5, 4);
    struct Change {
        const char *what;
        size_t offset;
        std::vector<uint8_t> bytes;
    };
    const Change changes[] = {
        {"tag in lower case", 0, {'p', 'x', 'c', 'm'}},
        {"tag byte 0", 0, {'Q'}},
        {"tag byte 3", 3, {'N'}},
        {"tag reversed", 0, {'M', 'C', 'X', 'P'}},
        {"format word 0", 4, {0, 0, 0, 0}},
        {"format word 1", 4, {1, 0, 0, 0}},
        {"format word 0x00010001", 4, {1, 0, 1, 0}},
        {"format word big-endian", 4, {0, 1, 0, 0}},
        {"format word 0x01010000", 4, {0, 0, 1, 1}},
        {"zero word at 8, low byte", 8, {1}},
        {"zero word at 8, high byte", 11, {0x80}},
        {"depth 0", 16, {0, 0, 0, 0}},
        {"depth 8", 16, {8}},
        {"depth 23", 16, {23}},
        {"depth 25", 16, {25}},
        {"depth 32", 16, {32}},
        {"depth 24 + 256", 17, {1}},
        {"depth 24 in the high byte", 16, {0, 0, 0, 24}},
        {"zero word at 20, low byte", 20, {1}},
        {"zero word at 20, high byte", 23, {0xFF}},
    };
    for (const Change &c : changes) {
        Bytes f = pic.file;
        memcpy(f.data() + c.offset, c.bytes.data(), c.bytes.size());
        ASSERT_FALSE(HeaderAccepted(f)) << c.what;
        ExpectRefused(f, ERR_BAD_FORMAT, c.what);
        // The same through a file, at an offset.
        Bytes in_file(3 + f.size(), 1);
        std::copy(f.begin(), f.end(), in_file.begin() + 3);
        TempFile tmp(in_file);
        const Decoded d = DecodeFile(tmp.path, 3);
        EXPECT_EQ(d.result, ERR_BAD_FORMAT) << c.what;
        EXPECT_TRUE(d.info_untouched && d.pixels_untouched) << c.what;
    }
    // Width or height 0: accepted, reported, and an empty bitmap.
    for (int field = 12; field <= 14; field += 2) {
        Bytes f = pic.file;
        f[field] = f[field + 1] = 0;
        const uint32_t width = f[12] | f[13] << 8, height = f[14] | f[15] << 8;
        PictureInfoBlock record = Untouched();
        ASSERT_EQ(GetPictureInfo(reinterpret_cast<const char *>(f.data()),
                                 static_cast<PxcmLong>(f.size()), SOURCE_MEMORY, &record),
                  ERR_NONE);
        EXPECT_EQ(+record.width, static_cast<int32_t>(width));
        EXPECT_EQ(+record.height, static_cast<int32_t>(height));
        EXPECT_EQ(ProbePointer(f), 1);
        const Decoded d = DecodeMemory(f);
        if (d.result == ERR_NONE) {
            EXPECT_TRUE(d.pixels.empty());
            EXPECT_TRUE(FullProgress(d, height));
        } else {
            EXPECT_TRUE(d.result == ERR_MEMORY || d.result == ERR_NO_MEMORY) << d.result;
            EXPECT_TRUE(d.progress.empty());
        }
    }
}

// Table set for a picture that decodes from zero bits alone: the token code
// has the single symbol `token` and the offset code the single symbol 0,
// both of length 1, so the stream's zero bits decode for ever.
Bytes ZeroBitPicture(uint32_t width, uint32_t height, uint32_t token) {
    Bytes file;
    PutHeader(&file, width, height);
    BitWriter w;
    StartBitWriter(&w, &file);
    uint8_t tl[342] = {}, ol[11] = {}, el[251] = {};
    tl[token] = 1;
    ol[0] = 1;
    PutCodeLengths(&w, tl, 342);
    PutCodeLengths(&w, ol, 11);
    PutCodeLengths(&w, el, 251);
    FlushBits(&w);
    return file;
}

// Headers that claim far more than the stream holds.
TEST(Malformed, HugeHeaderOverTinyStream) {
    Bytes huge;
    PutHeader(&huge, 65535, 65535);
    huge.insert(huge.end(), {0x00, 0x00, 0x00, 0x00});
    PictureInfoBlock record = Untouched();
    ASSERT_EQ(GetPictureInfo(reinterpret_cast<const char *>(huge.data()),
                             static_cast<PxcmLong>(huge.size()), SOURCE_MEMORY, &record),
              ERR_NONE);
    EXPECT_EQ(+record.width, 65535);
    EXPECT_EQ(+record.height, 65535);
    EXPECT_EQ(ProbePointer(huge), 1);

    // The 12.9 GB pixel block is never really requested: the second block
    // allocation is made to fail, as an allocator that cannot provide it would.
    FaultsReset();
    FaultsArm(CALL_BLOCK_ALLOC, 2);
    const Decoded d = DecodeMemory(huge);
    EXPECT_EQ(FaultsCalls(CALL_BLOCK_ALLOC), 2);
    FaultsReset();
    EXPECT_EQ(d.result, ERR_NO_MEMORY);
    EXPECT_TRUE(d.progress.empty());
    EXPECT_FALSE(d.info_untouched);   // allocated, then freed
    EXPECT_FALSE(d.pixels_untouched); // cleared by the failed allocation

    // Widest and tallest pictures that are cheap to allocate: four zero
    // bytes are no table set (the count's prefix never ends), so the decode
    // is refused at once.
    for (const auto &wh : {std::pair<uint32_t, uint32_t>{65535, 1}, {1, 65535}, {65535, 3}}) {
        Bytes f;
        PutHeader(&f, wh.first, wh.second);
        f.insert(f.end(), {0x00, 0x00, 0x00, 0x00});
        const Decoded e = DecodeMemory(f);
        EXPECT_EQ(e.result, ERR_READ) << wh.first << "x" << wh.second;
        ASSERT_EQ(e.progress.size(), 1u);
    }

    // A few bytes that decode a whole large picture from zero bits: every
    // token is a run of 127 pixels repeating the pixel before (token 341,
    // offset (-1, 0)), so the bitmap stays black, in bounded time. The 8400
    // tokens stay within one table set; a 16385th token would need a second
    // set, which zero bits cannot give.
    const Bytes bomb = ZeroBitPicture(1500, 700, 341);
    ASSERT_LT(bomb.size(), 64u);
    const Decoded b = DecodeMemory(bomb);
    ASSERT_EQ(b.result, ERR_NONE);
    EXPECT_TRUE(FullProgress(b, 700));
    ASSERT_EQ(b.pixels.size(), BitmapBytes(1500, 700));
    EXPECT_EQ(std::count(b.pixels.begin(), b.pixels.end(), 0), static_cast<long>(b.pixels.size()));
    // Token 215 with offset (-1, 0): every pixel is the one before minus 2 in
    // each channel, and the first of each row starts from the zero bytes
    // before it (the row below, not decoded yet, or before the buffer).
    const Bytes bright = ZeroBitPicture(640, 3, 215);
    const Decoded c = DecodeMemory(bright);
    ASSERT_EQ(c.result, ERR_NONE);
    Bytes expected;
    for (int row = 0; row < 3; row++)
        for (int x = 0; x < 640; x++)
            expected.insert(expected.end(), 3, static_cast<uint8_t>(256 - 2 * (x + 1)));
    EXPECT_EQ(c.pixels, expected);
    // 16385 literal tokens: the second table set is due and missing.
    const Decoded d16 = DecodeMemory(ZeroBitPicture(16385, 1, 129));
    EXPECT_EQ(d16.result, ERR_READ);
    EXPECT_EQ(DecodeMemory(ZeroBitPicture(16384, 1, 129)).result, ERR_NONE);
}

// Source descriptions and buffers no host should pass, which must still give
// a result code and touch nothing they must not.
TEST(Malformed, HostileArguments) {
    const RandomPicture pic = MakeRandomPicture(61, 6, 3);
    const char *bytes = reinterpret_cast<const char *>(pic.file.data());
    const PxcmLong size = static_cast<PxcmLong>(pic.file.size());
    auto picture = [](const char *location, PxcmLong extent, uint32_t mode) {
        PxcmBlock info = Sentinel(1), pixels = Sentinel(2);
        const int32_t r = GetPicture(location, extent, mode, &info, &pixels, nullptr, 0);
        const bool untouched = info == Sentinel(1) && pixels == Sentinel(2);
        if (r == ERR_NONE) {
            FreeBlock(pixels);
            FreeBlock(info);
        }
        return std::make_pair(r, untouched);
    };
    // Unsupported source kinds, whatever the location.
    for (uint32_t kind = 2; kind < 8; kind++) {
        EXPECT_EQ(picture(nullptr, 0, kind), std::make_pair(int32_t{ERR_INTERNAL}, true)) << kind;
        PictureInfoBlock record = Untouched();
        EXPECT_EQ(GetPictureInfo(bytes, size, kind, &record), ERR_INTERNAL) << kind;
        EXPECT_TRUE(SameRecord(record, Untouched()));
    }
    // Only the low 3 bits of the mode count.
    EXPECT_EQ(picture(bytes, size, 0xFFFFFFF8u | SOURCE_MEMORY).first, ERR_NONE);
    // A negative size cannot be opened; a null block is one the platform
    // provides, zero-filled, so no header is found in it.
    EXPECT_EQ(picture(bytes, -1, SOURCE_MEMORY), std::make_pair(int32_t{ERR_MEMORY}, true));
    EXPECT_EQ(picture(nullptr, 64, SOURCE_MEMORY), std::make_pair(int32_t{ERR_BAD_FORMAT}, true));
    EXPECT_EQ(picture(bytes, 0, SOURCE_MEMORY).first, ERR_READ);
    // Files: no name, a missing file, an offset before the start or past the end.
    TempFile tmp(pic.file);
    EXPECT_EQ(picture(nullptr, 0, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture("/nonexistent/pxcm/x.pxc", 0, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture(tmp.path.c_str(), -5, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture(tmp.path.c_str(), size + 100, SOURCE_FILE), std::make_pair(int32_t{ERR_READ}, true));
    EXPECT_EQ(picture(tmp.path.c_str(), 0, SOURCE_FILE).first, ERR_NONE);
    // A probe handle that is no open descriptor answers 0.
    EXPECT_EQ(IsSupported(nullptr, static_cast<PxcmRef>(0xFFF0)), 0);
    // GetPluginInfo never writes outside the buffer: guard bytes around it.
    for (int32_t index = -1; index <= 4; index++) {
        for (int32_t capacity : {-5, 0, 1, 2, 5, 64}) {
            char buffer[80];
            memset(buffer, '#', sizeof buffer);
            const int32_t n = GetPluginInfo(index, buffer + 8, capacity);
            const int32_t used = capacity > 0 ? capacity : 0;
            for (int i = 0; i < 8; i++) ASSERT_EQ(buffer[i], '#') << index << " " << capacity;
            for (size_t i = 8 + static_cast<size_t>(used); i < sizeof buffer; i++) {
                ASSERT_EQ(buffer[i], '#') << index << " " << capacity;
            }
            ASSERT_GE(n, 0);
            ASSERT_LT(n, capacity > 0 ? capacity : 1);
        }
    }
}
