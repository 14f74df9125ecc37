#include "images.h"

#include <string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include <libdeflate.h>
#if defined(PXC_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <spng.h>
#include <zlib.h>

namespace pxc {

// ---- Bitmap ----

Bitmap::~Bitmap() { Release(); }

Bitmap::Bitmap(Bitmap &&other) noexcept { *this = std::move(other); }

Bitmap &Bitmap::operator=(Bitmap &&other) noexcept {
    if (this == &other) return *this;
    Release();
    width_ = other.width_;
    height_ = other.height_;
    header_ = other.header_;
    own_ = std::move(other.own_);
    bits_ = own_.data();
    other.bits_ = nullptr;
    other.width_ = other.height_ = 0;
    return *this;
}

namespace {

// The pixel block a thread released last, kept for its next picture: a
// fresh one would cost page faults on its first writes. Blocks above
// SPARE_LIMIT go back to the system.
//
// What a thread keeps is reached through plain pointers and freed by
// ReleaseThreadBuffers, not by destructors of thread_local objects: the
// Windows runtime frees a thread's storage before it runs those, and they
// then work on freed memory as the thread ends.
constexpr size_t SPARE_LIMIT = size_t{256} << 20;
thread_local LargeBuffer *t_spare_bits = nullptr;

} // namespace

void LargeBuffer::Reserve(size_t size) {
    if (size <= size_) return;
    FreeLarge(data_, size_);
    size_ = 0;
    data_ = static_cast<uint8_t *>(AllocateLarge(size));
    if (data_ == nullptr) throw FileError("out of memory");
    size_ = size;
}

void Bitmap::Release() {
    bits_ = nullptr;
    const size_t kept = t_spare_bits != nullptr ? t_spare_bits->size() : 0;
    if (own_.size() > kept && own_.size() <= SPARE_LIMIT) {
        if (t_spare_bits == nullptr) t_spare_bits = new (std::nothrow) LargeBuffer();
        if (t_spare_bits != nullptr) *t_spare_bits = std::move(own_);
    }
    own_ = LargeBuffer();
}

PxcmBitmapHeader MakeBitmapHeader(uint32_t width, uint32_t height) {
    PxcmBitmapHeader h{};
    h.biSize = sizeof(PxcmBitmapHeader);
    h.biWidth = static_cast<int32_t>(width);
    h.biHeight = static_cast<int32_t>(height);
    h.biPlanes = 1;
    h.biBitCount = 24;
    uint64_t size = static_cast<uint64_t>(height) * static_cast<uint64_t>(RowStride(width));
    h.biSizeImage = size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
    return h;
}

Bitmap Bitmap::Allocate(uint32_t width, uint32_t height) {
    Bitmap b = AllocateUnset(width, height);
    if (b.size() != 0) memset(b.bits_, 0, static_cast<size_t>(b.size()));
    return b;
}

Bitmap Bitmap::AllocateUnset(uint32_t width, uint32_t height) {
    Bitmap b;
    uint64_t size = static_cast<uint64_t>(height) * static_cast<uint64_t>(RowStride(width));
    if (size > SIZE_MAX) throw FileError("out of memory");
    if (t_spare_bits != nullptr && size <= t_spare_bits->size()) b.own_ = std::move(*t_spare_bits);
    b.own_.Reserve(static_cast<size_t>(size));
    b.width_ = width;
    b.height_ = height;
    b.bits_ = b.own_.data();
    b.header_ = MakeBitmapHeader(width, height);
    return b;
}

// ---- Writing ----

namespace {

void Put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t *p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

uint32_t Get16(const uint8_t *p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | (Get16(p + 2) << 16); }

struct SpngDeleter {
    void operator()(spng_ctx *ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

std::string SpngMessage(int code) { return spng_strerror(code); }

} // namespace

void WriteBmp(const Bitmap &bitmap, OutputFile &out) {
    constexpr uint32_t HEADERS = 14 + sizeof(PxcmBitmapHeader);
    const uint64_t total = HEADERS + bitmap.size();
    if (total > UINT32_MAX) throw FileError("picture too large for a BMP file");
    uint8_t file_header[14] = {'B', 'M'};
    Put32(file_header + 2, static_cast<uint32_t>(total));
    Put32(file_header + 10, HEADERS);
    out.Write(file_header, sizeof file_header);
    out.Write(&bitmap.header(), sizeof(PxcmBitmapHeader));
    out.Write(bitmap.bits(), static_cast<size_t>(bitmap.size()));
}

namespace {

// PNG output. The coder for the filtered rows is chosen per picture on a
// sample of bands spread over its height, which are filtered first and
// compressed apart by each candidate:
//  - rows that leave most of their bytes to the coder at the usual level
//    (noise to a match search) go through ISA-L's deflate where the
//    program is built with it, else libdeflate at its fastest level;
//  - rows where libdeflate's matches do clearly worse than zlib's run
//    coder (photographs: literals with short runs, on which the short
//    matches cost more than they save) go through that run coder, or
//    through zlib's Huffman codes alone where those do clearly better;
//  - the rest (drawings, screens, flat colours) through libdeflate at the
//    usual level.
// Each row gets the filter whose output bytes have the lowest entropy in
// that row (the byte histogram's, which the Huffman codes after the matches
// pay for); but rows that are noise all get the filter most of the sampled
// rows got, which costs a fifth of trying them all and gives as small an
// output there. Small pictures skip the sample: they are compressed by both
// libdeflate's usual level and the run coder, and keep the smaller result.
constexpr int PNG_LEVEL = 6;
constexpr int PNG_FAST_LEVEL = 1;
// Sampled bands that keep more than this share of their bytes at the usual
// level are noise.
constexpr double NOISE_SHARE = 0.7;
// The bands are compressed apart, without the rows above them, which costs
// the match search more than the run coder; the run coder is taken where it
// wins on them by more than this.
constexpr double RUN_CODER_MARGIN = 1.015;
// Huffman codes alone are taken over the run coder where they win on the
// bands by more than this.
constexpr double HUFFMAN_MARGIN = 0.98;
constexpr uint32_t SAMPLE_BANDS = 8;
// A sixteenth of the rows go to the sample, at most SAMPLE_BYTES of them.
constexpr uint32_t SAMPLE_SHARE = 16;
constexpr size_t SAMPLE_BYTES = size_t{128} << 10;
// Filtered pictures up to this size are compressed by both coders.
constexpr size_t SMALL_PICTURE = size_t{256} << 10;

// Noise of at least SPLIT_BYTES filtered bytes, where a core would otherwise
// wait (a single picture, the last files of a batch), is coded by two
// threads: the top SPLIT_SHARE-th of its rows flushed to a byte boundary
// without ending the stream, and the rest as raw blocks after it. Where
// other files wait for the cores, the helper would take its time from
// them: one coder then codes the whole picture.
//  - With ISA-L, both halves by it: the rest starts without the top's
//    history, which costs noise next to nothing.
//  - Without, the top quarter by zlib's Huffman codes alone (libdeflate
//    cannot leave a stream open) and the rest at libdeflate's fastest
//    level. On noise, Huffman codes alone keep some 8% more bytes than the
//    fastest level: a quarter of the rows so coded costs about 2% in size
//    and takes that quarter off the picture's own thread.
constexpr size_t SPLIT_BYTES = size_t{4} << 20;
#if defined(PXC_HAVE_ISAL)
constexpr uint32_t SPLIT_SHARE = 2;
#else
constexpr uint32_t SPLIT_SHARE = 4;
#endif

enum PngFilter : uint8_t { FILTER_NONE = 0, FILTER_SUB = 1, FILTER_UP = 2, FILTER_AVERAGE = 3, FILTER_PAETH = 4 };
constexpr int FILTERS = 5;

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    const int ab = pa <= pb ? a : b;
    const int ab_cost = pa <= pb ? pa : pb;
    return static_cast<uint8_t>(ab_cost <= pc ? ab : c);
}

// The Paeth filter of row[lead .. n) below `above` (3 bytes a pixel) into
// out, eight bytes at a time where the machine has SSE2, as Paeth gives
// them one by one.
void PaethFilter(const uint8_t *row, const uint8_t *above, uint8_t *out, size_t lead, size_t n) {
    size_t i = lead;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const auto load = [&](const uint8_t *p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), zero);
    };
    const auto magnitude = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    for (; i + 8 <= n; i += 8) {
        const __m128i a = load(row + i - 3);
        const __m128i b = load(above + i);
        const __m128i c = load(above + i - 3);
        const __m128i x = load(row + i);
        // p - a is b - c, p - b is a - c, p - c is both together.
        const __m128i bc = _mm_sub_epi16(b, c);
        const __m128i ac = _mm_sub_epi16(a, c);
        const __m128i pa = magnitude(bc);
        const __m128i pb = magnitude(ac);
        const __m128i pc = magnitude(_mm_add_epi16(bc, ac));
        // a where pa <= pb, else b; then c where the smaller is above pc.
        const __m128i take_b = _mm_cmpgt_epi16(pa, pb);
        const __m128i ab = _mm_or_si128(_mm_andnot_si128(take_b, a), _mm_and_si128(take_b, b));
        const __m128i ab_cost = _mm_min_epi16(pa, pb);
        const __m128i take_c = _mm_cmpgt_epi16(ab_cost, pc);
        const __m128i predicted = _mm_or_si128(_mm_andnot_si128(take_c, ab), _mm_and_si128(take_c, c));
        const __m128i d = _mm_sub_epi16(x, predicted);
        // The low byte of each difference is the filtered byte.
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i),
                         _mm_packus_epi16(_mm_and_si128(d, _mm_set1_epi16(0xFF)), zero));
    }
#endif
    for (; i < n; i++) out[i] = static_cast<uint8_t>(row[i] - Paeth(row[i - 3], above[i], above[i - 3]));
}

// Filters the rows of one picture, `n` bytes each, keeping its buffers
// from row to row. The rows are the bitmap's, in blue, green, red; the
// PNG's are in red, green, blue. Each filter works on every channel alone,
// so it runs on the bitmap's bytes and its output is turned to red, green,
// blue as it is written.
class RowFilter {
public:
    explicit RowFilter(size_t n) : n_(n), scratch_(4 * n), zero_(n), entropy_(n + 1) {
        // c log2 c for every count a row can have: a row's entropy in bits
        // is n log2 n minus the sum of these over its histogram.
        for (size_t c = 2; c <= n; c++)
            entropy_[c] = static_cast<float>(static_cast<double>(c) * std::log2(static_cast<double>(c)));
    }

    // The filtered row (filter byte first) of `row` below `above` (null for
    // the first row) with filter f into out[0 .. 1 + n].
    void Apply(int f, const uint8_t *row, const uint8_t *above, uint8_t *out) {
        const size_t n = n_;
        if (above == nullptr) above = zero_.data();
        out[0] = static_cast<uint8_t>(f);
        if (f == FILTER_NONE) {
            ToRgb(row, out + 1);
            return;
        }
        uint8_t *o = scratch_.data();
        const size_t lead = std::min<size_t>(3, n);
        switch (f) {
        case FILTER_SUB:
            for (size_t i = 0; i < lead; i++) o[i] = row[i];
            for (size_t i = lead; i < n; i++) o[i] = static_cast<uint8_t>(row[i] - row[i - 3]);
            break;
        case FILTER_UP:
            for (size_t i = 0; i < n; i++) o[i] = static_cast<uint8_t>(row[i] - above[i]);
            break;
        case FILTER_AVERAGE:
            for (size_t i = 0; i < lead; i++) o[i] = static_cast<uint8_t>(row[i] - (above[i] >> 1));
            for (size_t i = lead; i < n; i++)
                o[i] = static_cast<uint8_t>(row[i] - ((static_cast<uint32_t>(row[i - 3]) + above[i]) >> 1));
            break;
        default:
            for (size_t i = 0; i < lead; i++) o[i] = static_cast<uint8_t>(row[i] - above[i]);
            PaethFilter(row, above, o, lead, n);
            break;
        }
        ToRgb(o, out + 1);
    }

    // The same with the filter of the lowest entropy, which it returns.
    int Filter(const uint8_t *row, const uint8_t *above, uint8_t *out) {
        const size_t n = n_;
        if (above == nullptr) above = zero_.data();
        uint8_t *sub = scratch_.data();
        uint8_t *up = sub + n;
        uint8_t *average = sub + 2 * n;
        uint8_t *paeth = sub + 3 * n;
        const size_t lead = std::min<size_t>(3, n);
        for (size_t i = 0; i < lead; i++) {
            sub[i] = row[i];
            up[i] = static_cast<uint8_t>(row[i] - above[i]);
            average[i] = static_cast<uint8_t>(row[i] - (above[i] >> 1));
            paeth[i] = static_cast<uint8_t>(row[i] - above[i]); // Paeth(0, b, 0) is b
        }
        for (size_t i = lead; i < n; i++) sub[i] = static_cast<uint8_t>(row[i] - row[i - 3]);
        for (size_t i = lead; i < n; i++) up[i] = static_cast<uint8_t>(row[i] - above[i]);
        for (size_t i = lead; i < n; i++)
            average[i] = static_cast<uint8_t>(row[i] - ((static_cast<uint32_t>(row[i - 3]) + above[i]) >> 1));
        PaethFilter(row, above, paeth, lead, n);

        uint32_t counts[FILTERS][256];
        memset(counts, 0, sizeof counts);
        for (size_t i = 0; i < n; i++) {
            counts[FILTER_NONE][row[i]]++;
            counts[FILTER_SUB][sub[i]]++;
            counts[FILTER_UP][up[i]]++;
            counts[FILTER_AVERAGE][average[i]]++;
            counts[FILTER_PAETH][paeth[i]]++;
        }
        // The lowest entropy is the largest sum of c log2 c; ties go to the
        // simpler filter. The five sums side by side, each in the order of
        // the values: they do not wait on each other's additions.
        float sums[FILTERS] = {};
        for (int v = 0; v < 256; v++)
            for (int f = FILTER_NONE; f < FILTERS; f++) sums[f] += entropy_[counts[f][v]];
        int best = FILTER_NONE;
        float best_sum = -1;
        for (int f = FILTER_NONE; f < FILTERS; f++) {
            if (sums[f] > best_sum) {
                best_sum = sums[f];
                best = f;
            }
        }
        out[0] = static_cast<uint8_t>(best);
        ToRgb(best == FILTER_NONE ? row : scratch_.data() + (best - 1) * n, out + 1);
        return best;
    }

private:
    void ToRgb(const uint8_t *in, uint8_t *out) const {
        for (size_t i = 0; i < n_; i += 3) {
            out[i] = in[i + RED_BYTE];
            out[i + 1] = in[i + GREEN_BYTE];
            out[i + 2] = in[i + BLUE_BYTE];
        }
    }

    size_t n_;
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> zero_;
    std::vector<float> entropy_;
};

void PutBe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One chunk: length, type, data, CRC of type and data.
void WriteChunk(OutputFile &out, const char type[4], const uint8_t *data, size_t size) {
    uint8_t head[8];
    PutBe32(head, static_cast<uint32_t>(size));
    memcpy(head + 4, type, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (size != 0) crc = libdeflate_crc32(crc, data, size); // a null buffer would restart the CRC
    uint8_t tail[4];
    PutBe32(tail, crc);
    out.Write(head, sizeof head);
    if (size != 0) out.Write(data, size);
    out.Write(tail, sizeof tail);
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

Compressor NewCompressor(int level) {
    Compressor c(libdeflate_alloc_compressor(level));
    if (!c) throw FileError("out of memory");
    return c;
}

// The header of the zlib streams put together here: deflate with a 32 KiB
// window (0x78); no dictionary, the level flags of the fastest coders and
// the check bits (0x01).
constexpr uint8_t ZLIB_HEADER[2] = {0x78, 0x01};
constexpr size_t ADLER_BYTES = 4;

// zlib's coders without a match search: its run coder (Huffman codes with
// matches at distance 1 only, Z_RLE) or Huffman codes alone
// (Z_HUFFMAN_ONLY). They make bare deflate streams; the zlib stream around
// one is put together here, with libdeflate's Adler-32, which is several
// times faster than zlib's own: the same bytes as zlib's stream.
class ZlibCoder {
public:
    explicit ZlibCoder(int strategy) {
        // The largest memory level: longer blocks, each with its own codes.
        if (deflateInit2(&z_, 6, Z_DEFLATED, -15, 9, strategy) != Z_OK) throw FileError("out of memory");
    }
    ~ZlibCoder() { deflateEnd(&z_); }
    ZlibCoder(const ZlibCoder &) = delete;
    ZlibCoder &operator=(const ZlibCoder &) = delete;

    // Room for the bare stream of `size` bytes.
    size_t Bound(size_t size) {
        // zlib counts in uLong, 32 bits on some systems; beyond that a bound
        // above zlib's own (size / 8 + size / 256 + size / 512 and a few
        // bytes for these coders).
        if (size <= std::numeric_limits<uLong>::max() / 2) return deflateBound(&z_, static_cast<uLong>(size));
        return size + size / 7 + 1024;
    }
    // Room for the zlib stream.
    size_t WrappedBound(size_t size) { return Bound(size) + sizeof ZLIB_HEADER + ADLER_BYTES; }

    // The bare stream of in[0 .. size) into out[0 .. room); its size, 0
    // when it does not fit.
    size_t Compress(const uint8_t *in, size_t size, uint8_t *out, size_t room) {
        return Code(in, size, out, room, true);
    }

    // The zlib stream of in[0 .. size): header, bare stream, Adler-32.
    size_t CompressWrapped(const uint8_t *in, size_t size, uint8_t *out, size_t room) {
        if (room < sizeof ZLIB_HEADER + ADLER_BYTES) return 0;
        memcpy(out, ZLIB_HEADER, sizeof ZLIB_HEADER);
        const size_t coded = Compress(in, size, out + sizeof ZLIB_HEADER, room - sizeof ZLIB_HEADER - ADLER_BYTES);
        if (coded == 0) return 0;
        PutBe32(out + sizeof ZLIB_HEADER + coded, libdeflate_adler32(1, in, size));
        return sizeof ZLIB_HEADER + coded + ADLER_BYTES;
    }

    // The start of a zlib stream: its header, then in[0 .. size) coded and
    // flushed to a byte boundary, the last block not marked final and no
    // check value, so that raw deflate blocks of what follows can be put
    // right after it. Its size, 0 when it does not fit; a flush takes at
    // most a few bytes beyond Bound (START_EXTRA).
    size_t Start(const uint8_t *in, size_t size, uint8_t *out, size_t room) {
        if (room < sizeof ZLIB_HEADER) return 0;
        memcpy(out, ZLIB_HEADER, sizeof ZLIB_HEADER);
        const size_t coded = Code(in, size, out + sizeof ZLIB_HEADER, room - sizeof ZLIB_HEADER, false);
        return coded == 0 ? 0 : sizeof ZLIB_HEADER + coded;
    }
    static constexpr size_t START_EXTRA = 16;

private:
    size_t Code(const uint8_t *in, size_t size, uint8_t *out, size_t room, bool finish) {
        if (deflateReset(&z_) != Z_OK) return 0;
        // zlib counts in uInt: large pictures go in several calls.
        constexpr size_t STEP = size_t{1} << 30;
        size_t done = 0;
        z_.next_out = out;
        for (;;) {
            const size_t in_step = std::min(STEP, size - done);
            const bool last = done + in_step == size;
            z_.next_in = const_cast<uint8_t *>(in + done);
            z_.avail_in = static_cast<uInt>(in_step);
            const size_t out_at = static_cast<size_t>(z_.next_out - out);
            z_.avail_out = static_cast<uInt>(std::min(STEP, room - out_at));
            const int r = deflate(&z_, !last ? Z_NO_FLUSH : finish ? Z_FINISH : Z_SYNC_FLUSH);
            done += in_step - z_.avail_in;
            if (finish && r == Z_STREAM_END) break;
            if (r != Z_OK) return 0; // Z_BUF_ERROR: out of room
            // A flush is complete when it leaves room unused.
            if (!finish && last && z_.avail_in == 0 && z_.avail_out != 0) break;
        }
        return static_cast<size_t>(z_.next_out - out);
    }

    z_stream z_{};
};

#if defined(PXC_HAVE_ISAL)
// ISA-L's deflate (igzip), which codes noise several times faster than
// libdeflate's fastest level, in a few percent more bytes: bare streams,
// ended or flushed to a byte boundary and left open, as ZlibCoder's.
class IsalCoder {
public:
    IsalCoder() : level_buffer_(LEVEL_BUFFER) {}

    // Room that every stream of `size` bytes fits in: ISA-L codes a block
    // that would grow as stored. Should one not fit all the same, Code says
    // so and the caller takes another coder.
    static size_t Bound(size_t size) { return size + size / 64 + 1024; }

    // The bare stream of in[0 .. size) into out[0 .. room): ended with
    // `finish`, else flushed to a byte boundary with its last block not
    // final. Its size, 0 when it does not fit.
    size_t Code(const uint8_t *in, size_t size, uint8_t *out, size_t room, bool finish) {
        isal_zstream &s = stream_;
        isal_deflate_init(&s);
        s.level = LEVEL;
        s.level_buf = level_buffer_.data();
        s.level_buf_size = static_cast<uint32_t>(level_buffer_.size());
        s.next_out = out;
        // ISA-L counts in 32 bits: large pictures go in several calls.
        constexpr size_t STEP = size_t{1} << 30;
        size_t done = 0;
        for (;;) {
            const size_t in_step = std::min(STEP, size - done);
            const bool last = done + in_step == size;
            s.next_in = const_cast<uint8_t *>(in + done);
            s.avail_in = static_cast<uint32_t>(in_step);
            s.end_of_stream = last && finish;
            s.flush = last && !finish ? SYNC_FLUSH : NO_FLUSH;
            const size_t out_at = static_cast<size_t>(s.next_out - out);
            s.avail_out = static_cast<uint32_t>(std::min(STEP, room - out_at));
            if (isal_deflate(&s) != COMP_OK) return 0;
            done += in_step - s.avail_in;
            if (last && s.avail_in == 0) {
                // Done when the stream has ended, or the flush is complete:
                // it left room unused, or the next block is yet to begin.
                if (finish ? s.internal_state.state == ZSTATE_END
                           : s.avail_out != 0 || s.internal_state.state == ZSTATE_NEW_HDR)
                    break;
            }
            if (s.avail_out == 0 && static_cast<size_t>(s.next_out - out) == room) return 0; // out of room
        }
        return static_cast<size_t>(s.next_out - out);
    }

private:
    // Level 2 makes the smallest streams of noise, at the speed of level 1.
    static constexpr uint32_t LEVEL = 2;
    static constexpr size_t LEVEL_BUFFER = ISAL_DEF_LVL2_DEFAULT;

    isal_zstream stream_{};
    std::vector<uint8_t> level_buffer_;
};
#endif

// What a thread keeps from picture to picture: fresh buffers and coders for
// each would cost a page fault per 4 KiB they use.
struct PngWorkspace {
    LargeBuffer filtered;
    LargeBuffer compressed;
    LargeBuffer other;
    Compressor levels[13];
    std::unique_ptr<ZlibCoder> zlib[2]; // [Huffman codes alone]
#if defined(PXC_HAVE_ISAL)
    std::unique_ptr<IsalCoder> isal[2]; // [the split's helper thread]
    IsalCoder &Isal(bool helper) {
        std::unique_ptr<IsalCoder> &c = isal[helper];
        if (!c) c = std::make_unique<IsalCoder>();
        return *c;
    }
#endif

    libdeflate_compressor *Level(int level) {
        if (!levels[level]) levels[level] = NewCompressor(level);
        return levels[level].get();
    }
    ZlibCoder &Zlib(bool huffman) {
        std::unique_ptr<ZlibCoder> &z = zlib[huffman];
        if (!z) z = std::make_unique<ZlibCoder>(huffman ? Z_HUFFMAN_ONLY : Z_RLE);
        return *z;
    }
};

// The PNG coders and buffers of the thread (see t_spare_bits).
thread_local PngWorkspace *t_png = nullptr;

using Coder = PngCoder;

struct Band {
    uint32_t y;
    uint32_t rows;
};

// The sampled bands, top-down and apart: band b is centred at (2 b + 1) / 16
// of the height.
std::vector<Band> SampleBands(uint32_t height, size_t row_bytes) {
    uint32_t rows = std::max<uint32_t>(1, height / (SAMPLE_SHARE * SAMPLE_BANDS));
    rows = static_cast<uint32_t>(std::min<size_t>(rows, std::max<size_t>(1, SAMPLE_BYTES / SAMPLE_BANDS / row_bytes)));
    rows = std::min(rows, height);
    std::vector<Band> bands;
    for (uint32_t b = 0; b < SAMPLE_BANDS; b++) {
        uint32_t y = static_cast<uint32_t>(static_cast<uint64_t>(height) * (2 * b + 1) / (2 * SAMPLE_BANDS));
        y = std::min(y, height - rows);
        if (!bands.empty() && y < bands.back().y + bands.back().rows) continue;
        bands.push_back({y, rows});
    }
    return bands;
}

// The coder for filtered rows (of `row_bytes` each) from their sampled
// bands, compressed apart.
Coder ChooseCoder(const uint8_t *filtered, size_t row_bytes, const std::vector<Band> &bands, PngWorkspace &space) {
    libdeflate_compressor *usual = space.Level(PNG_LEVEL);
    LargeBuffer &work = space.other;
    // The bands' sizes: raw, at the usual level, through a zlib coder.
    auto compress = [&](ZlibCoder *coder) {
        uint64_t bytes = 0;
        for (const Band &band : bands) {
            const size_t size = band.rows * row_bytes;
            const size_t room = coder ? coder->Bound(size) : libdeflate_deflate_compress_bound(usual, size);
            work.Reserve(room);
            const uint8_t *in = filtered + static_cast<size_t>(band.y) * row_bytes;
            const size_t c = coder ? coder->Compress(in, size, work.data(), work.size())
                                   : libdeflate_deflate_compress(usual, in, size, work.data(), work.size());
            bytes += c == 0 ? size : c;
        }
        return static_cast<double>(bytes);
    };
    double sampled = 0;
    for (const Band &band : bands) sampled += static_cast<double>(band.rows * row_bytes);
    const double usual_bytes = compress(nullptr);
    if (usual_bytes > NOISE_SHARE * sampled) return Coder::FAST;
    const double run_bytes = compress(&space.Zlib(false));
    if (usual_bytes <= RUN_CODER_MARGIN * run_bytes) return Coder::USUAL;
    // Where even runs of a byte cost more than they save, Huffman codes
    // alone.
    const double huffman_bytes = compress(&space.Zlib(true));
    return huffman_bytes < HUFFMAN_MARGIN * run_bytes ? Coder::HUFFMAN : Coder::RUNS;
}

// The zlib stream of noise: ISA-L's where the program has it, else
// libdeflate's fastest level, which also takes over should ISA-L's not
// fit. Its size, 0 when it cannot be made, and its bytes at *data.
size_t CompressNoise(const uint8_t *filtered, size_t size, PngWorkspace &buffers, const uint8_t **data) {
#if defined(PXC_HAVE_ISAL)
    buffers.compressed.Reserve(sizeof ZLIB_HEADER + IsalCoder::Bound(size) + ADLER_BYTES);
    uint8_t *out = buffers.compressed.data();
    const size_t room = buffers.compressed.size() - sizeof ZLIB_HEADER - ADLER_BYTES;
    const size_t coded = buffers.Isal(false).Code(filtered, size, out + sizeof ZLIB_HEADER, room, true);
    if (coded != 0) {
        memcpy(out, ZLIB_HEADER, sizeof ZLIB_HEADER);
        PutBe32(out + sizeof ZLIB_HEADER + coded, libdeflate_adler32(1, filtered, size));
        *data = out;
        return sizeof ZLIB_HEADER + coded + ADLER_BYTES;
    }
#endif
    libdeflate_compressor *c = buffers.Level(PNG_FAST_LEVEL);
    buffers.compressed.Reserve(libdeflate_zlib_compress_bound(c, size));
    *data = buffers.compressed.data();
    return libdeflate_zlib_compress(c, filtered, size, buffers.compressed.data(), buffers.compressed.size());
}

// The zlib stream of a large noise picture's filtered rows, coded by two
// threads (see SPLIT_BYTES); its size, 0 when it cannot be made, and its
// bytes at *data.
size_t CompressSplit(const uint8_t *filtered, size_t row_bytes, uint32_t height, PngWorkspace &buffers,
                     const uint8_t **data) {
    const size_t size = static_cast<size_t>(height) * row_bytes;
    const size_t top = static_cast<size_t>(height / SPLIT_SHARE) * row_bytes;
    // The top rows' stream, flushed and left open, after the zlib header
    // in `out`; and the rest's, ended, in `rest`: bare deflate blocks that
    // go on where the top's stop.
#if defined(PXC_HAVE_ISAL)
    IsalCoder &helper_coder = buffers.Isal(true);
    IsalCoder &own_coder = buffers.Isal(false);
    const size_t top_room = sizeof ZLIB_HEADER + IsalCoder::Bound(top);
    const size_t rest_room = IsalCoder::Bound(size - top);
    auto start_top = [&](uint8_t *out) {
        const size_t coded = helper_coder.Code(filtered, top, out + sizeof ZLIB_HEADER, top_room - sizeof ZLIB_HEADER, false);
        if (coded == 0) return size_t{0};
        memcpy(out, ZLIB_HEADER, sizeof ZLIB_HEADER);
        return sizeof ZLIB_HEADER + coded;
    };
    auto code_rest = [&](uint8_t *rest) { return own_coder.Code(filtered + top, size - top, rest, rest_room, true); };
#else
    ZlibCoder &huffman = buffers.Zlib(true);
    libdeflate_compressor *fast = buffers.Level(PNG_FAST_LEVEL);
    const size_t top_room = huffman.WrappedBound(top) + ZlibCoder::START_EXTRA;
    const size_t rest_room = libdeflate_deflate_compress_bound(fast, size - top);
    auto start_top = [&](uint8_t *out) { return huffman.Start(filtered, top, out, top_room); };
    auto code_rest = [&](uint8_t *rest) {
        return libdeflate_deflate_compress(fast, filtered + top, size - top, rest, rest_room);
    };
#endif
    buffers.other.Reserve(top_room);
    buffers.compressed.Reserve(top_room + rest_room + ADLER_BYTES);
    // The top rows' blocks go to `other`, the rest's after room for them in
    // `compressed`, where the top's are then put right before them.
    size_t start = 0;
    auto code_top = [&] { start = start_top(buffers.other.data()); };
    std::thread helper;
    try {
        helper = std::thread(code_top);
    } catch (const std::system_error &) {
        code_top(); // no thread to be had: one after the other
    }
    uint8_t *rest = buffers.compressed.data() + top_room;
    const size_t coded = code_rest(rest);
    if (helper.joinable()) helper.join();
    if (start == 0 || coded == 0) return CompressNoise(filtered, size, buffers, data);
    PutBe32(rest + coded, libdeflate_adler32(1, filtered, size));
    uint8_t *begin = rest - start;
    memcpy(begin, buffers.other.data(), start);
    *data = begin;
    return start + coded + ADLER_BYTES;
}

} // namespace

PngCoder WritePng(const Bitmap &bitmap, OutputFile &out, const RowProgress &progress, bool helper_thread) {
    const uint32_t width = bitmap.width();
    const uint32_t height = bitmap.height();
    const size_t n = static_cast<size_t>(width) * 3;
    const size_t row_bytes = n + 1;
    const size_t filtered_size = static_cast<size_t>(height) * row_bytes;
    if (t_png == nullptr) {
        t_png = new (std::nothrow) PngWorkspace();
        if (t_png == nullptr) throw FileError("out of memory");
    }
    PngWorkspace &buffers = *t_png;
    buffers.filtered.Reserve(filtered_size);
    uint8_t *filtered = buffers.filtered.data();
    std::unique_ptr<RowFilter> filter;
    try {
        filter = std::make_unique<RowFilter>(n);
    } catch (const std::bad_alloc &) {
        throw FileError("out of memory");
    }
    // Rows [from, to) top-down, each filtered against the one above: with
    // `fixed` if it is a filter, else with the filter of the lowest entropy
    // (counted in `chosen`). The sample's rows, filtered first, do not
    // move the progress.
    uint32_t chosen[FILTERS] = {};
    auto filter_rows = [&](uint32_t from, uint32_t to, int fixed, bool sample = false) {
        for (uint32_t y = from; y < to; y++) {
            if (g_cancel.load()) throw FileError("cancelled");
            if (progress && !sample && (y & 63) == 0) progress("writing rows", y, height);
            const uint8_t *above = y == 0 ? nullptr : bitmap.Row(y - 1);
            uint8_t *dst = filtered + y * row_bytes;
            if (fixed >= 0) {
                filter->Apply(fixed, bitmap.Row(y), above, dst);
            } else {
                chosen[filter->Filter(bitmap.Row(y), above, dst)]++;
            }
        }
    };

    const bool small = filtered_size <= SMALL_PICTURE;
    Coder coder = Coder::USUAL;
    if (small) {
        filter_rows(0, height, -1);
    } else {
        const std::vector<Band> bands = SampleBands(height, row_bytes);
        for (const Band &band : bands) filter_rows(band.y, band.y + band.rows, -1, true);
        coder = ChooseCoder(filtered, row_bytes, bands, buffers);
        const int fixed =
            coder == Coder::FAST ? static_cast<int>(std::max_element(chosen, chosen + FILTERS) - chosen) : -1;
        uint32_t y = 0;
        for (const Band &band : bands) {
            filter_rows(y, band.y, fixed);
            y = band.y + band.rows;
        }
        filter_rows(y, height, fixed);
    }
    size_t compressed = 0;
    const uint8_t *data = nullptr;
    if (coder == Coder::FAST && helper_thread && filtered_size >= SPLIT_BYTES && height >= SPLIT_SHARE) {
        compressed = CompressSplit(filtered, row_bytes, height, buffers, &data);
        coder = Coder::SPLIT;
    } else if (coder == Coder::RUNS || coder == Coder::HUFFMAN) {
        ZlibCoder &runs = buffers.Zlib(coder == Coder::HUFFMAN);
        buffers.compressed.Reserve(runs.WrappedBound(filtered_size));
        compressed =
            runs.CompressWrapped(filtered, filtered_size, buffers.compressed.data(), buffers.compressed.size());
        data = buffers.compressed.data();
    } else if (coder == Coder::FAST) {
        compressed = CompressNoise(filtered, filtered_size, buffers, &data);
    } else {
        libdeflate_compressor *c = buffers.Level(PNG_LEVEL);
        buffers.compressed.Reserve(libdeflate_zlib_compress_bound(c, filtered_size));
        compressed = libdeflate_zlib_compress(c, filtered, filtered_size, buffers.compressed.data(),
                                              buffers.compressed.size());
        data = buffers.compressed.data();
        if (small && compressed != 0) {
            // And the run coder; the smaller stream is kept.
            ZlibCoder &runs = buffers.Zlib(false);
            buffers.other.Reserve(runs.WrappedBound(filtered_size));
            const size_t r =
                runs.CompressWrapped(filtered, filtered_size, buffers.other.data(), buffers.other.size());
            if (r != 0 && r < compressed) {
                compressed = r;
                data = buffers.other.data();
            }
            coder = Coder::BOTH;
        }
    }
    if (compressed == 0) throw FileError("cannot compress PNG " + out.path());
    if (progress) progress("writing rows", height, height);

    static const uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.Write(SIGNATURE, sizeof SIGNATURE);
    uint8_t ihdr[13];
    PutBe32(ihdr, width);
    PutBe32(ihdr + 4, height);
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 2;  // truecolour
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // adaptive filtering
    ihdr[12] = 0; // no interlace
    WriteChunk(out, "IHDR", ihdr, sizeof ihdr);
    // IDAT chunks of at most 1 MiB each.
    constexpr size_t IDAT_BYTES = size_t{1} << 20;
    for (size_t at = 0; at < compressed; at += IDAT_BYTES)
        WriteChunk(out, "IDAT", data + at, std::min(IDAT_BYTES, compressed - at));
    WriteChunk(out, "IEND", nullptr, 0);
    return coder;
}

// ---- Reading ----

namespace {

void CheckSize(uint64_t width, uint64_t height, const ReadLimits &limits) {
    if (width == 0 || height == 0) throw FileError("picture has no pixels");
    if (width > MAX_SIDE || height > MAX_SIDE)
        throw FileError("picture is " + std::to_string(width) + " x " + std::to_string(height) +
                        ", a PXCM picture can be at most 65535 x 65535");
    if (width * height > limits.max_pixels)
        throw FileError("picture is " + std::to_string(width) + " x " + std::to_string(height) +
                        ", more pixels than the limit of " + std::to_string(limits.max_pixels) +
                        " (--max-pixels)");
}

} // namespace

Bitmap ReadPng(const std::vector<uint8_t> &file, const ReadLimits &limits,
               std::vector<std::string> *warnings) {
    SpngContext ctx(spng_ctx_new(0));
    if (!ctx) throw FileError("out of memory");
    // Ancillary chunks are not needed; keep their memory bounded.
    spng_set_chunk_limits(ctx.get(), 1 << 24, 1 << 26);
    spng_set_png_buffer(ctx.get(), file.data(), file.size());
    spng_ihdr ihdr{};
    int r = spng_get_ihdr(ctx.get(), &ihdr);
    if (r != 0) throw FileError("cannot read PNG: " + SpngMessage(r));
    CheckSize(ihdr.width, ihdr.height, limits);

    spng_trns trns{};
    const bool alpha = (ihdr.color_type & 4) != 0 || spng_get_trns(ctx.get(), &trns) == 0;
    size_t rgb_size = 0;
    r = spng_decoded_image_size(ctx.get(), SPNG_FMT_RGB8, &rgb_size);
    if (r != 0) throw FileError("cannot read PNG: " + SpngMessage(r));
    std::vector<uint8_t> rgb;
    try {
        rgb.resize(rgb_size);
    } catch (const std::bad_alloc &) {
        throw FileError("out of memory");
    }
    r = spng_decode_image(ctx.get(), rgb.data(), rgb.size(), SPNG_FMT_RGB8, 0);
    if (r != 0) throw FileError("cannot read PNG: " + SpngMessage(r));
    if (alpha && warnings != nullptr) warnings->push_back("transparency dropped, the picture is kept opaque");

    Bitmap b = Bitmap::Allocate(ihdr.width, ihdr.height);
    const size_t row_bytes = static_cast<size_t>(ihdr.width) * 3;
    for (uint32_t y = 0; y < ihdr.height; y++) {
        const uint8_t *src = rgb.data() + y * row_bytes;
        uint8_t *dst = b.Row(y);
        for (size_t i = 0; i < row_bytes; i += 3) {
            dst[i] = src[i + 2];
            dst[i + 1] = src[i + 1];
            dst[i + 2] = src[i];
        }
    }
    return b;
}

Bitmap ReadBmp(const std::vector<uint8_t> &file, const ReadLimits &limits) {
    if (file.size() < 14 + 40 || file[0] != 'B' || file[1] != 'M')
        throw FileError("not a BMP file");
    const uint8_t *h = file.data() + 14;
    const uint32_t header_size = Get32(h);
    const uint32_t offset = Get32(file.data() + 10);
    if (header_size < 40 || 14 + static_cast<uint64_t>(header_size) > file.size())
        throw FileError("BMP information header not supported (size " + std::to_string(header_size) + ")");
    const int32_t width = static_cast<int32_t>(Get32(h + 4));
    const int32_t height = static_cast<int32_t>(Get32(h + 8));
    const uint32_t bits = Get16(h + 14);
    const uint32_t compression = Get32(h + 16);
    if (bits != 24) throw FileError("only 24-bit BMP files can be read, this one has " + std::to_string(bits) + " bits per pixel");
    if (compression != 0) throw FileError("compressed BMP files cannot be read");
    if (width <= 0 || height == 0 || height == INT32_MIN) throw FileError("BMP has no pixels");
    const bool top_down = height < 0;
    const uint32_t w = static_cast<uint32_t>(width);
    const uint32_t rows = static_cast<uint32_t>(top_down ? -height : height);
    CheckSize(w, rows, limits);
    const int64_t stride = RowStride(w);
    if (offset < 14 + header_size || offset + static_cast<uint64_t>(stride) * rows > file.size())
        throw FileError("BMP file is cut short");
    Bitmap b = Bitmap::Allocate(w, rows);
    const uint8_t *src = file.data() + offset;
    for (uint32_t i = 0; i < rows; i++) {
        // Stored row i is image row i from the top in a top-down file, and
        // from the bottom otherwise.
        uint8_t *dst = b.Row(top_down ? i : rows - 1 - i);
        memcpy(dst, src + i * stride, static_cast<size_t>(w) * 3);
    }
    return b;
}

Bitmap ReadPicture(const std::string &path, const ReadLimits &limits,
                   std::vector<std::string> *warnings) {
    std::vector<uint8_t> file = ReadWholeFile(path);
    static const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() >= 8 && memcmp(file.data(), PNG_SIGNATURE, 8) == 0)
        return ReadPng(file, limits, warnings);
    if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') return ReadBmp(file, limits);
    throw FileError("neither a PNG nor a BMP file");
}

void ReleaseThreadBuffers() {
    delete t_png;
    t_png = nullptr;
    delete t_spare_bits;
    t_spare_bits = nullptr;
}

} // namespace pxc

