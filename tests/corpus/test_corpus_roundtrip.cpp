// Every corpus picture, encoded at every effort level, decodes through
// GetPicture to exactly its pixels.
#include <dirent.h>
#include <gtest/gtest.h>
#include <png.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

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
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<uint8_t> rgb;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_strip_16(png);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_strip_alpha(png);
    png_read_update_info(png, info);
    const uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    rgb.resize(static_cast<size_t>(w) * h * 3);
    for (uint32_t y = 0; y < h; y++) rows.push_back(&rgb[static_cast<size_t>(y) * w * 3]);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
    bitmap->assign(stride * h, 0);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++)
            for (int32_t c = 0; c < 3; c++)
                (*bitmap)[(h - 1 - y) * stride + 3 * x + c] = rgb[(static_cast<size_t>(y) * w + x) * 3 + 2 - c];
    *width = w;
    *height = h;
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
