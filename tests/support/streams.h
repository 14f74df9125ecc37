// Helpers for the library tests: hand-made streams, decoding through the
// exports, temporary files and bit readers over a few bytes.
#ifndef PXCM_TESTS_STREAMS_H
#define PXCM_TESTS_STREAMS_H

#include <stdint.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "encoder/writer.h"
#include "entropy/bitreader.h"
#include "platform/faults.h"
#include "plugin/pxcm.h"
#include "source/source.h"
#include "support/reference.h"

// Tests that arm platform faults start and end with no plan armed.
class WithFaults : public ::testing::Test {
protected:
    void SetUp() override { FaultsReset(); }
    void TearDown() override { FaultsReset(); }
};

// Code lengths of the three alphabets of one table set.
struct CodeTables {
    std::vector<uint8_t> token = std::vector<uint8_t>(TOKEN_SYMBOLS, 0);
    std::vector<uint8_t> offset = std::vector<uint8_t>(OFFSET_SYMBOLS, 0);
    std::vector<uint8_t> escape = std::vector<uint8_t>(ESCAPE_SYMBOLS, 0);
};

// Complete codes over every symbol of every alphabet (balanced lengths), so
// that any token, offset and escape can be written.
CodeTables FullTables();

// Writes a picture token by token. Offsets are given as (dx, dy); the
// builder keeps its own move-to-front list and writes the list position.
class StreamBuilder {
public:
    StreamBuilder(uint32_t width, uint32_t height);

    // Writes a table set and switches to its codes.
    void Tables(const CodeTables &tables);
    // A literal token t (0 to 215) referring to (dx, dy); escapes are the
    // escape symbols of its escaped channels, red first.
    void Literal(uint32_t t, int32_t dx, int32_t dy, std::vector<uint32_t> escapes = {});
    // A run of n pixels (2 to 127) from (dx, dy).
    void Run(uint32_t n, int32_t dx, int32_t dy);
    // Raw symbols, for tests that need the list position itself.
    void Token(uint32_t t, uint32_t position);
    void Escape(uint32_t e);
    // Raw bits, for streams no well-formed writer makes.
    void Bits(uint32_t value, int32_t n) { PutBits(&writer_, value, n); }

    // Header and stream, padded to whole bytes.
    std::vector<uint8_t> Finish();
    uint32_t tokens() const { return tokens_; }

private:
    uint32_t PositionOf(int32_t dx, int32_t dy);

    std::vector<uint8_t> file_;
    BitWriter writer_;
    PrefixCode token_{}, offset_{}, escape_{};
    std::vector<std::pair<int32_t, int32_t>> list_;
    uint32_t tokens_ = 0;
};

// Literal token from three digits 0 to 5 (red, green, blue).
constexpr uint32_t Digits(uint32_t r, uint32_t g, uint32_t b) { return LiteralToken(r, g, b); }

// Bytes from a string of '0' and '1' (other characters ignored), padded
// with zero bits.
std::vector<uint8_t> BitString(const std::string &bits);

// Bit readers over a copy of some bytes: the library's reader over the
// bytes in memory, and the plain reference reader over a memory source.
struct ByteReader {
    explicit ByteReader(std::vector<uint8_t> data);
    ~ByteReader();
    ByteReader(const ByteReader &) = delete;
    ByteReader &operator=(const ByteReader &) = delete;

    std::vector<uint8_t> bytes;
    InputSource source = nullptr;
    BitReader reader{};
    PlainBitReader plain{};
};

// What GetPicture returned, with the blocks' contents copied out and the
// blocks freed.
struct Decoded {
    int32_t result = -100;
    bool has_info = false;
    PxcmBitmapHeader info{};
    uint64_t info_size = 0;
    std::vector<uint8_t> pixels;
    std::vector<std::pair<int32_t, int32_t>> calls; // (num, denom) of every callback
};

// Decodes with a recording callback that asks to stop at call number
// stop_at (counted from 0; -1 never).
Decoded DecodeBytes(const std::vector<uint8_t> &file, int32_t stop_at = -1);
Decoded DecodeFile(const std::string &name, PxcmLong offset, int32_t stop_at = -1);

// Bottom-up stride of a 24-bit row.
inline uint64_t StrideOf(uint32_t width) { return static_cast<uint64_t>(RowStride(width)); }

// A file in the temporary directory, removed again on destruction.
class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t> &bytes);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    std::string name() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// A valid 24-byte header.
std::vector<uint8_t> HeaderBytes(uint32_t width, uint32_t height);

#endif
