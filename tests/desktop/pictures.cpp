#include "pictures.h"

#include <filesystem>
#include <random>

#include <pxcm/pxcm.h>

#include "support/files.h"
#include "support/random_stream.h"

std::vector<TestPicture> DesktopPictures() {
    std::vector<TestPicture> pictures;
    for (const std::string &path : SampleFiles())
        pictures.push_back({std::filesystem::path(path).filename().string(), ReadFileBytes(path)});
    const struct {
        uint32_t width, height;
    } sizes[] = {{1, 1}, {1, 7}, {2, 3}, {2, 9}, {3, 5}, {3, 11}, {37, 13}};
    uint32_t seed = 1200;
    for (const auto &s : sizes) {
        RandomPicture p = MakeRandomPicture(seed++, s.width, s.height);
        pictures.push_back(
            {"random-" + std::to_string(s.width) + "x" + std::to_string(s.height) + ".pxc", std::move(p.file)});
    }
    return pictures;
}

LibraryDecode DecodeWithLibrary(const std::vector<uint8_t> &file) {
    LibraryDecode d;
    pxcm_info info;
    d.result = pxcm_read_info(file.data(), file.size(), &info);
    if (d.result != PXCM_OK)
        return d;
    d.width = info.width;
    d.height = info.height;
    d.rgb.resize(static_cast<size_t>(pxcm_buffer_size(&info, PXCM_LAYOUT_RGB, 0)));
    pxcm_decode_report report{};
    d.result = pxcm_decode(file.data(), file.size(), nullptr, d.rgb.data(), d.rgb.size(), &report);
    d.bits_past_end = report.bits_past_end;
    d.end_row = report.end_row;
    return d;
}

std::vector<std::vector<uint8_t>> DamagedCopies(const std::vector<uint8_t> &file, uint32_t seed, int count) {
    std::mt19937 random(seed);
    std::vector<std::vector<uint8_t>> copies;
    const size_t header = 24;
    if (file.size() <= header)
        return copies;
    for (int i = 0; i < count; i++) {
        std::vector<uint8_t> copy = file;
        const int changes = 1 + static_cast<int>(random() % 8);
        for (int c = 0; c < changes; c++) {
            // Early bytes hold the first table set, where damage shows most.
            const size_t span = (c == 0 && random() % 2) ? std::min<size_t>(64, file.size() - header)
                                                         : file.size() - header;
            copy[header + random() % span] ^= static_cast<uint8_t>(1 + random() % 255);
        }
        copies.push_back(std::move(copy));
    }
    return copies;
}
