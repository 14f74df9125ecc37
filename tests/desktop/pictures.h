// The pictures the desktop tests open: the samples, and random pictures of
// widths 1, 2 and 3 with odd heights (and one wider), whose streams use
// every kind of token. The expected pixels are always the library's own
// decode, in packed RGB rows.
#ifndef PXCM_TESTS_DESKTOP_PICTURES_H
#define PXCM_TESTS_DESKTOP_PICTURES_H

#include <stdint.h>

#include <string>
#include <vector>

struct TestPicture {
    std::string name; // "chelsea.pxc", "random-1x7.pxc", ...
    std::vector<uint8_t> file;
};

std::vector<TestPicture> DesktopPictures();

struct LibraryDecode {
    int result = -100;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t bits_past_end = 0;
    uint32_t end_row = 0;
    std::vector<uint8_t> rgb; // packed top-down rows
};

// pxcm_read_info and pxcm_decode into packed RGB, no pixel limit.
LibraryDecode DecodeWithLibrary(const std::vector<uint8_t> &file);

// Whether a viewer must show the file: the library decodes it (also from
// zero bits past the end of the data, as the plug-in does).
inline bool ShouldOpen(const LibraryDecode &d) { return d.result == 0 && d.width > 0 && d.height > 0; }

// `count` copies of the file with 1 to 8 random bytes of the stream changed
// (seeded, the same every run).
std::vector<std::vector<uint8_t>> DamagedCopies(const std::vector<uint8_t> &file, uint32_t seed, int count);

#endif
