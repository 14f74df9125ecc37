#include "support/random_stream.h"

#include <random>

#include "encoder/writer.h"

namespace {

struct Token {
    uint16_t symbol;    // 0..341
    uint8_t offset;     // 0..10
    uint8_t escapes;    // how many of escape[] are used
    uint8_t escape[3];  // escape symbols, red first
};

const int32_t MODEL_OFFSETS[11][2] = {
    {-1, 0}, {0, 1}, {1, 1}, {-1, 1}, {2, 1}, {-2, 1}, {-2, 0}, {0, 2}, {1, 2}, {-1, 2}, {-3, 0},
};
const int32_t MODEL_DIGITS[6] = {-3, -2, -1, 0, 1, 2};

// Reads a reference byte the way the decoder's bounds rules say: nothing
// outside the buffer is ever read, it counts as zero.
uint8_t ByteAt(const std::vector<uint8_t> &buf, int64_t pos) {
    return pos < 0 || pos >= static_cast<int64_t>(buf.size()) ? 0 : buf[static_cast<size_t>(pos)];
}

} // namespace

RandomPicture MakeRandomPicture(uint32_t seed, uint32_t width, uint32_t height) {
    return MakeRandomPicture(seed, width, height, RandomStreamOptions{});
}

RandomPicture MakeRandomPicture(uint32_t seed, uint32_t width, uint32_t height,
                                const RandomStreamOptions &options) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::geometric_distribution<int> skewed(0.35);
    const int64_t stride = (static_cast<int64_t>(width) * 3 + 3) & ~3LL;
    const int64_t size = stride * height;

    RandomPicture pic;
    pic.width = width;
    pic.height = height;
    pic.pixels.assign(static_cast<size_t>(size), 0);
    std::vector<Token> tokens;
    std::vector<uint8_t> &buf = pic.pixels;

    // Pass 1: draw the tokens and reconstruct the pixels with the model.
    int32_t list[11][2];
    for (int i = 0; i < 11; i++) {
        list[i][0] = MODEL_OFFSETS[i][0];
        list[i][1] = MODEL_OFFSETS[i][1];
    }
    for (int64_t m = 0; m < height; m++) {
        int64_t out = (height - 1 - m) * stride;
        int64_t count = 0;
        while (count < width) {
            Token tok{};
            tok.offset = static_cast<uint8_t>(std::min(skewed(rng), 10));
            const int32_t dx = list[tok.offset][0];
            const int32_t dy = list[tok.offset][1];
            for (int i = tok.offset; i > 0; i--) {
                list[i][0] = list[i - 1][0];
                list[i][1] = list[i - 1][1];
            }
            list[0][0] = dx;
            list[0][1] = dy;
            const int64_t src = out + dy * stride + 3 * static_cast<int64_t>(dx);
            if (unit(rng) < options.run_share) {
                int64_t left = width - count;
                int64_t n = 2 + static_cast<int64_t>(rng() % 126);
                if (unit(rng) >= options.long_run_share && left >= 2) n = std::min(n, left);
                tok.symbol = static_cast<uint16_t>(n + 214);
                for (int64_t i = 0; i < 3 * n; i++) {
                    if (out + i >= size) break;
                    buf[static_cast<size_t>(out + i)] = ByteAt(buf, src + i);
                }
                out += 3 * n;
                count += n;
            } else {
                int digit[3];
                for (int c = 0; c < 3; c++) {
                    digit[c] = unit(rng) < options.escape_share ? 0 : 1 + static_cast<int>(rng() % 5);
                }
                tok.symbol = static_cast<uint16_t>(36 * digit[0] + 6 * digit[1] + digit[2]);
                const bool black = src + 3 >= size;
                for (int i = 0; i < 3; i++) { // red (byte 2), green, blue
                    int32_t v = MODEL_DIGITS[digit[i]];
                    if (digit[i] == 0) {
                        const uint8_t e = static_cast<uint8_t>(rng() % 251);
                        tok.escape[tok.escapes++] = e;
                        v = e + 3;
                    }
                    const int c = 2 - i;
                    const uint8_t ref = black ? 0 : ByteAt(buf, src + c);
                    buf[static_cast<size_t>(out + c)] = static_cast<uint8_t>(ref - v);
                }
                out += 3;
                count++;
            }
            tokens.push_back(tok);
        }
    }
    pic.tokens = tokens.size();

    // Pass 2: a table set per 16384 tokens, codes from the block's counts.
    PutHeader(&pic.file, width, height);
    BitWriter w;
    StartBitWriter(&w, &pic.file);
    for (size_t first = 0; first < tokens.size(); first += 16384) {
        const size_t last = std::min(tokens.size(), first + 16384);
        std::vector<uint64_t> tc(342, 0), oc(11, 0), ec(251, 0);
        for (size_t i = first; i < last; i++) {
            tc[tokens[i].symbol]++;
            oc[tokens[i].offset]++;
            for (int k = 0; k < tokens[i].escapes; k++) ec[tokens[i].escape[k]]++;
        }
        uint8_t tl[342], ol[11], el[251];
        LimitedCodeLengths(tc.data(), 342, options.max_code_length, tl);
        LimitedCodeLengths(oc.data(), 11, options.max_code_length, ol);
        LimitedCodeLengths(ec.data(), 251, options.max_code_length, el);
        PutCodeLengths(&w, tl, 342);
        PutCodeLengths(&w, ol, 11);
        PutCodeLengths(&w, el, 251);
        PrefixCode tcode, ocode, ecode;
        SetPrefixCode(&tcode, tl, 342);
        SetPrefixCode(&ocode, ol, 11);
        SetPrefixCode(&ecode, el, 251);
        for (size_t i = first; i < last; i++) {
            PutSymbol(&w, &tcode, tokens[i].symbol);
            PutSymbol(&w, &ocode, tokens[i].offset);
            for (int k = 0; k < tokens[i].escapes; k++) PutSymbol(&w, &ecode, tokens[i].escape[k]);
        }
    }
    pic.stream_bits = (pic.file.size() - HEADER_SIZE) * 8 + static_cast<uint64_t>(w.pending);
    FlushBits(&w);
    return pic;
}
