// Every corpus picture, encoded at every effort level, decodes through
// GetPicture to exactly its pixels.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/png_picture.h"
#include "encoder/encoder.h"
#include "support/decode.h"
#include "support/files.h"

namespace {

std::vector<std::string> CorpusPictures() {
    std::vector<std::string> names;
    if (DIR *d = opendir(PXCM_CORPUS_DIR)) {
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The picture as a bottom-up BGR bitmap with 4-byte row padding.
bool LoadBitmap(const std::string &path, uint32_t *width, uint32_t *height,
                std::vector<uint8_t> *bitmap) {
    const std::vector<uint8_t> png = ReadFileBytes(path);
    RgbPicture rgb;
    if (!DecodePngRgb(png.data(), png.size(), &rgb)) return false;
    *bitmap = ToBitmap(rgb);
    *width = rgb.width;
    *height = rgb.height;
    return true;
}

class CorpusRoundTrip : public testing::TestWithParam<std::string> {};

TEST_P(CorpusRoundTrip, EveryEffortLevel) {
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> bitmap;
    ASSERT_TRUE(LoadBitmap(std::string(PXCM_CORPUS_DIR) + "/" + GetParam(), &w, &h, &bitmap));
    const int64_t stride = RowStride(w);
    for (int32_t effort = 1; effort <= 9; effort++) {
        SCOPED_TRACE("effort " + std::to_string(effort));
        EncoderInput in{bitmap.data(), w, h, stride};
        EncoderOptions options{effort, nullptr, nullptr};
        std::vector<uint8_t> file;
        ASSERT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
        // Every corpus picture compresses.
        EXPECT_LT(file.size(), bitmap.size());
        const Decoded d = DecodeBytes(file, NO_CALLBACK);
        ASSERT_EQ(d.result, ERR_NONE);
        ASSERT_EQ(d.pixels.size(), bitmap.size());
        const size_t first_difference =
            static_cast<size_t>(std::mismatch(d.pixels.begin(), d.pixels.end(), bitmap.begin()).first - d.pixels.begin());
        EXPECT_EQ(first_difference, bitmap.size()) << "decoded pixels differ";
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, CorpusRoundTrip, testing::ValuesIn(CorpusPictures()),
                         [](const testing::TestParamInfo<std::string> &info) {
                             std::string n = info.param.substr(0, info.param.size() - 4);
                             for (char &c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusRoundTrip);

TEST(Corpus, PicturesArePresent) { EXPECT_GE(CorpusPictures().size(), 1u) << PXCM_CORPUS_DIR; }

} // namespace
