// Hand-made streams for the library tests: table sets of chosen code
// lengths, tokens written one by one, raw bit strings, and bit readers over
// a few bytes. Brings the decode helper (decode.h) and the header rule
// (header_rule.h) along, which every test of such a stream uses.
#ifndef PXCM_TESTS_STREAMS_H
#define PXCM_TESTS_STREAMS_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "encoder/writer.h"
#include "entropy/bitreader.h"
#include "source/source.h"
#include "support/decode.h"
#include "support/header_rule.h"
#include "support/reference.h"

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
    // Writes a table set's lengths only, for lengths no code can be built
    // from; the codes in use stay as they were.
    void Lengths(const CodeTables &tables);
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

// Bytes of one bottom-up row of the bitmap.
inline uint64_t StrideOf(uint32_t width) { return static_cast<uint64_t>(RowStride(width)); }

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

#endif
