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
#include "plugin/pxcm.h"

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
    std::vector<uint8_t> png;
    RgbPicture rgb;
    if (!ReadWholeFile(path, &png) || !DecodePngRgb(png.data(), png.size(), &rgb)) return false;
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
    const int64_t stride = (static_cast<int64_t>(w) * 3 + 3) & ~3LL;
    for (int32_t effort = 1; effort <= 9; effort++) {
        SCOPED_TRACE("effort " + std::to_string(effort));
        EncoderInput in{bitmap.data(), w, h, stride};
        EncoderOptions options{effort, nullptr, nullptr};
        std::vector<uint8_t> file;
        ASSERT_EQ(EncodePicture(&in, &options, &file), ENCODE_OK);
        // Every corpus picture compresses.
        EXPECT_LT(file.size(), bitmap.size());
        PxcmBlock info = nullptr, pixels = nullptr;
        ASSERT_EQ(GetPicture(reinterpret_cast<const char *>(file.data()),
                             static_cast<PxcmLong>(file.size()), SOURCE_MEMORY, &info, &pixels,
                             nullptr, 0),
                  ERR_NONE);
        ASSERT_EQ(GetBlockSize(pixels), bitmap.size());
        const uint8_t *p = static_cast<const uint8_t *>(LockBlock(pixels));
        size_t first_difference = bitmap.size();
        for (size_t i = 0; i < bitmap.size(); i++)
            if (p[i] != bitmap[i]) {
                first_difference = i;
                break;
            }
        UnlockBlock(pixels);
        FreeBlock(pixels);
        FreeBlock(info);
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
