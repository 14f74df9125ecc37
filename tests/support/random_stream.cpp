#include "support/random_stream.h"

#include <algorithm>
#include <random>

#include "encoder/writer.h"

namespace {

struct Token {
    uint16_t symbol;    // below TOKEN_SYMBOLS
    uint8_t offset;     // list position, below OFFSET_SYMBOLS
    uint8_t escapes;    // how many of escape[] are used
    uint8_t escape[3];  // escape symbols, red first
};

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
    const int64_t stride = RowStride(width);
    const int64_t size = static_cast<int64_t>(BitmapSize(width, height));

    RandomPicture pic;
    pic.width = width;
    pic.height = height;
    pic.pixels.assign(static_cast<size_t>(size), 0);
    std::vector<Token> tokens;
    std::vector<uint8_t> &buf = pic.pixels;

    // Pass 1: draw the tokens and reconstruct the pixels with the model.
    int32_t list[OFFSET_COUNT][2];
    for (uint32_t i = 0; i < OFFSET_COUNT; i++) {
        list[i][0] = INITIAL_OFFSETS[i].dx;
        list[i][1] = INITIAL_OFFSETS[i].dy;
    }
    for (int64_t m = 0; m < height; m++) {
        int64_t out = (height - 1 - m) * stride;
        int64_t count = 0;
        while (count < width) {
            Token tok{};
            tok.offset = static_cast<uint8_t>(std::min(skewed(rng), static_cast<int>(OFFSET_COUNT) - 1));
            const int32_t dx = list[tok.offset][0];
            const int32_t dy = list[tok.offset][1];
            for (int i = tok.offset; i > 0; i--) {
                list[i][0] = list[i - 1][0];
                list[i][1] = list[i - 1][1];
            }
            list[0][0] = dx;
            list[0][1] = dy;
            const int64_t src = out + dy * stride + PIXEL_BYTES * static_cast<int64_t>(dx);
            if (unit(rng) < options.run_share) {
                int64_t left = width - count;
                int64_t n = MIN_RUN + static_cast<int64_t>(rng() % (MAX_RUN - MIN_RUN + 1));
                if (unit(rng) >= options.long_run_share && left >= MIN_RUN) n = std::min(n, left);
                tok.symbol = static_cast<uint16_t>(RunToken(static_cast<uint32_t>(n)));
                for (int64_t i = 0; i < PIXEL_BYTES * n; i++) {
                    if (out + i >= size) break;
                    buf[static_cast<size_t>(out + i)] = ByteAt(buf, src + i);
                }
                out += PIXEL_BYTES * n;
                count += n;
            } else {
                uint32_t digit[3];
                const bool alternate = options.alternate_escape_share >= 0 && tokens.size() / REBUILD_PERIOD % 2 == 1;
                const double escape_share = alternate ? options.alternate_escape_share : options.escape_share;
                for (uint32_t &d : digit) {
                    d = unit(rng) < escape_share ? ESCAPE_DIGIT
                                                         : 1 + static_cast<uint32_t>(rng() % (DIGIT_COUNT - 1));
                }
                tok.symbol = static_cast<uint16_t>(LiteralToken(digit[0], digit[1], digit[2]));
                const bool black = src + PIXEL_BYTES >= size;
                const int channel[3] = {RED_BYTE, GREEN_BYTE, BLUE_BYTE};
                for (int i = 0; i < 3; i++) {
                    int32_t v = DIGIT_VALUES[digit[i]];
                    if (digit[i] == ESCAPE_DIGIT) {
                        const uint8_t e = static_cast<uint8_t>(rng() % ESCAPE_SYMBOLS);
                        tok.escape[tok.escapes++] = e;
                        v = e + ESCAPE_BIAS;
                    }
                    const int c = channel[i];
                    const uint8_t ref = black ? 0 : ByteAt(buf, src + c);
                    buf[static_cast<size_t>(out + c)] = static_cast<uint8_t>(ref - v);
                }
                out += PIXEL_BYTES;
                count++;
            }
            tokens.push_back(tok);
        }
    }
    pic.tokens = tokens.size();

    // Pass 2: a table set per REBUILD_PERIOD tokens, codes from the block's counts.
    PutHeader(&pic.file, width, height);
    BitWriter w;
    StartBitWriter(&w, &pic.file);
    for (size_t first = 0; first < tokens.size(); first += REBUILD_PERIOD) {
        const size_t last = std::min(tokens.size(), first + REBUILD_PERIOD);
        std::vector<uint64_t> tc(TOKEN_SYMBOLS, 0), oc(OFFSET_SYMBOLS, 0), ec(ESCAPE_SYMBOLS, 0);
        for (size_t i = first; i < last; i++) {
            tc[tokens[i].symbol]++;
            oc[tokens[i].offset]++;
            for (int k = 0; k < tokens[i].escapes; k++) ec[tokens[i].escape[k]]++;
        }
        uint8_t tl[TOKEN_SYMBOLS], ol[OFFSET_SYMBOLS], el[ESCAPE_SYMBOLS];
        LimitedCodeLengths(tc.data(), TOKEN_SYMBOLS, options.max_code_length, tl);
        LimitedCodeLengths(oc.data(), OFFSET_SYMBOLS, options.max_code_length, ol);
        LimitedCodeLengths(ec.data(), ESCAPE_SYMBOLS, options.max_code_length, el);
        PutCodeLengths(&w, tl, TOKEN_SYMBOLS);
        PutCodeLengths(&w, ol, OFFSET_SYMBOLS);
        PutCodeLengths(&w, el, ESCAPE_SYMBOLS);
        PrefixCode tcode, ocode, ecode;
        SetPrefixCode(&tcode, tl, TOKEN_SYMBOLS);
        SetPrefixCode(&ocode, ol, OFFSET_SYMBOLS);
        SetPrefixCode(&ecode, el, ESCAPE_SYMBOLS);
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
