// The header's acceptance rule restated byte by byte, as an oracle for the
// tests and the fuzz targets: it takes the format's constants but not its
// parser (ParseHeader), so that a fault in the parser shows up as a
// disagreement with this rule.
//
// Accepted: at least 24 bytes; "PXCM", the format word 0x00010000, a zero
// word, any width and height (16 bits each), the depth 24 and a zero word,
// every word little-endian.
#ifndef PXCM_TESTS_HEADER_RULE_H
#define PXCM_TESTS_HEADER_RULE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "format/format.h"
#include "source/source.h"

// Byte i of a little-endian 32-bit word.
constexpr uint8_t WordByte(uint32_t word, int i) { return static_cast<uint8_t>(word >> (8 * i)); }

inline bool HeaderAccepted(const uint8_t *bytes, size_t size) {
    if (size < static_cast<size_t>(HEADER_SIZE)) return false;
    const struct {
        int32_t at;
        uint32_t word;
    } fixed[] = {{HEADER_TAG_AT, FORMAT_TAG},     {HEADER_FORMAT_AT, FORMAT_WORD}, {HEADER_ZERO1_AT, 0},
                 {HEADER_DEPTH_AT, FORMAT_DEPTH}, {HEADER_ZERO2_AT, 0}};
    for (const auto &f : fixed)
        for (int i = 0; i < 4; i++)
            if (bytes[f.at + i] != WordByte(f.word, i)) return false;
    return true;
}

inline bool HeaderAccepted(const std::vector<uint8_t> &file) { return HeaderAccepted(file.data(), file.size()); }

// The 24 bytes of an accepted header, written here by the same rule (the
// format module's WriteHeader is checked against them). Out of line, so
// that the compiler does not see the vector's size where callers append
// to it (GCC 12 then warns of bounds that no path reaches).
std::vector<uint8_t> HeaderBytes(uint32_t width, uint32_t height);

// What IsSupported sees of a file: its first 2048 bytes, a shorter file
// padded with zeros. A header cut within its final zero bytes is therefore
// still accepted by the probe.
inline std::vector<uint8_t> ProbeHead(const uint8_t *bytes, size_t size) {
    std::vector<uint8_t> head(PROBE_SIZE, 0);
    for (size_t i = 0; i < size && i < head.size(); i++) head[i] = bytes[i];
    return head;
}
inline std::vector<uint8_t> ProbeHead(const std::vector<uint8_t> &file) { return ProbeHead(file.data(), file.size()); }

// Width and height as the header's bytes claim them; 0 when the bytes end
// before the field.
inline uint32_t ClaimedWidth(const uint8_t *bytes, size_t size) {
    return size >= static_cast<size_t>(HEADER_WIDTH_AT + 2)
               ? static_cast<uint32_t>(bytes[HEADER_WIDTH_AT] | bytes[HEADER_WIDTH_AT + 1] << 8)
               : 0;
}
inline uint32_t ClaimedHeight(const uint8_t *bytes, size_t size) {
    return size >= static_cast<size_t>(HEADER_HEIGHT_AT + 2)
               ? static_cast<uint32_t>(bytes[HEADER_HEIGHT_AT] | bytes[HEADER_HEIGHT_AT + 1] << 8)
               : 0;
}
inline uint32_t ClaimedWidth(const std::vector<uint8_t> &file) { return ClaimedWidth(file.data(), file.size()); }
inline uint32_t ClaimedHeight(const std::vector<uint8_t> &file) { return ClaimedHeight(file.data(), file.size()); }

#endif
