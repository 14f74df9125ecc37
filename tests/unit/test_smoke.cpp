#include <gtest/gtest.h>

#include <vector>

#include "encoder/writer.h"
#include "plugin/pxcm.h"

TEST(Smoke, TwoByOne) {
    std::vector<uint8_t> file;
    PutHeader(&file, 2, 1);
    const uint8_t tail[] = {0x64, 0x02, 0x07, 0x01, 0x57, 0x67, 0xFA, 0, 0, 0, 0};
    file.insert(file.end(), tail, tail + sizeof tail);
    PxcmBlock info = nullptr, pixels = nullptr;
    ASSERT_EQ(GetPicture(reinterpret_cast<const char *>(file.data()), (PxcmLong)file.size(), 1,
                         &info, &pixels, nullptr, 0),
              ERR_NONE);
    auto *p = static_cast<uint8_t *>(LockBlock(pixels));
    std::vector<uint8_t> got(p, p + 8);
    EXPECT_EQ(got, (std::vector<uint8_t>{0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0, 0}));
    UnlockBlock(pixels);
    FreeBlock(pixels);
    FreeBlock(info);
}

TEST(Smoke, WriterMakesTheExampleBytes) {
    std::vector<uint8_t> out;
    BitWriter w;
    StartBitWriter(&w, &out);
    uint8_t tok[342] = {}, off[11] = {}, esc[251] = {};
    tok[129] = 1;
    tok[215] = 1;
    off[0] = off[1] = 1;
    PutCodeLengths(&w, tok, 342);
    PutCodeLengths(&w, off, 11);
    PutCodeLengths(&w, esc, 251);
    PrefixCode t, o;
    SetPrefixCode(&t, tok, 342);
    SetPrefixCode(&o, off, 11);
    PutSymbol(&w, &t, 215);
    PutSymbol(&w, &o, 1);
    PutSymbol(&w, &t, 129);
    PutSymbol(&w, &o, 1);
    FlushBits(&w);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x64, 0x02, 0x07, 0x01, 0x57, 0x67, 0xFA}));
}
