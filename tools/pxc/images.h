// Pictures in memory as the decoder returns them (bottom-up rows of blue,
// green, red, each row padded to 4 bytes), and their PNG and BMP files.
#ifndef PXC_IMAGES_H
#define PXC_IMAGES_H

#include <stdint.h>

#include <string>
#include <vector>

#include "common.h"
#include "format/format.h"
#include "plugin/pxcm.h"

namespace pxc {

// A buffer of AllocateLarge's memory (see system.h), its bytes not set.
class LargeBuffer {
public:
    LargeBuffer() = default;
    ~LargeBuffer() { FreeLarge(data_, size_); }
    LargeBuffer(LargeBuffer &&other) noexcept { *this = static_cast<LargeBuffer &&>(other); }
    LargeBuffer &operator=(LargeBuffer &&other) noexcept {
        if (this != &other) {
            FreeLarge(data_, size_);
            data_ = other.data_;
            size_ = other.size_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    LargeBuffer(const LargeBuffer &) = delete;
    LargeBuffer &operator=(const LargeBuffer &) = delete;

    uint8_t *data() { return data_; }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    // At least `size` bytes, the old ones dropped when it grows. Throws
    // FileError when there is no memory.
    void Reserve(size_t size);

private:
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

// A bottom-up BGR picture, rows padded to 4 bytes: the layout GetPicture
// delivers.
class Bitmap {
public:
    Bitmap() = default;
    ~Bitmap();
    Bitmap(Bitmap &&other) noexcept;
    Bitmap &operator=(Bitmap &&other) noexcept;
    Bitmap(const Bitmap &) = delete;
    Bitmap &operator=(const Bitmap &) = delete;

    // A zero-filled picture of its own (its rows' padding too).
    static Bitmap Allocate(uint32_t width, uint32_t height);
    // The same with its bytes not set, for a caller that sets every one of
    // them (pxcm_decode into the DIB layout sets every byte, rows' padding
    // included, whatever the bitmap held).
    static Bitmap AllocateUnset(uint32_t width, uint32_t height);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    int64_t stride() const { return RowStride(width_); }
    uint64_t size() const { return static_cast<uint64_t>(height_) * static_cast<uint64_t>(stride()); }
    uint8_t *bits() { return bits_; }
    const uint8_t *bits() const { return bits_; }
    // Image row y (0 = top).
    const uint8_t *Row(uint32_t y) const { return bits_ + (height_ - 1 - y) * stride(); }
    uint8_t *Row(uint32_t y) { return bits_ + (height_ - 1 - y) * stride(); }
    // The information block (BITMAPINFOHEADER) describing these pixels.
    PxcmBitmapHeader &header() { return header_; }
    const PxcmBitmapHeader &header() const { return header_; }

private:
    void Release();

    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint8_t *bits_ = nullptr;
    PxcmBitmapHeader header_{};
    LargeBuffer own_;
};

// A BITMAPINFOHEADER for a 24-bit bottom-up picture of this size.
PxcmBitmapHeader MakeBitmapHeader(uint32_t width, uint32_t height);

// The file header, the information block and the pixel block.
void WriteBmp(const Bitmap &bitmap, OutputFile &out);
// How a PNG's filtered rows were compressed: by the noise coder (ISA-L's
// deflate, or libdeflate at its fastest level in a build without it),
// libdeflate at its usual level, zlib's run coder or its Huffman codes
// alone, or (a small picture) libdeflate's usual level and the run coder
// with the smaller kept, or (large noise) in two parts on two threads.
enum class PngCoder { FAST, USUAL, RUNS, HUFFMAN, BOTH, SPLIT };
// Truecolour 8-bit PNG, rows top-down in red, green, blue. Large noise
// takes a second thread only with `helper_thread`: where every core has
// work of its own, that thread would only take its time from them, and
// the fastest level alone makes a smaller file.
PngCoder WritePng(const Bitmap &bitmap, OutputFile &out, const RowProgress &progress = nullptr,
                  bool helper_thread = true);

// A thread keeps its last pixel block and its PNG coders and buffers for the
// next picture. ReleaseThreadBuffers frees them; every thread that makes
// pictures frees them before it ends, most simply with a ThreadBuffers at
// the top of its function.
void ReleaseThreadBuffers();
struct ThreadBuffers {
    ThreadBuffers() = default;
    ThreadBuffers(const ThreadBuffers &) = delete;
    ThreadBuffers &operator=(const ThreadBuffers &) = delete;
    ~ThreadBuffers() { ReleaseThreadBuffers(); }
};

struct ReadLimits {
    uint64_t max_pixels;
};

// Reads a PNG (any colour type and depth, as 8-bit RGB) or a 24-bit BMP
// into a bottom-up BGR picture. Pictures with a side above 65535 or more
// pixels than the limit are refused with FileError; `warnings` receives
// what was dropped on the way (an alpha channel).
Bitmap ReadPicture(const std::string &path, const ReadLimits &limits,
                   std::vector<std::string> *warnings);
Bitmap ReadPng(const std::vector<uint8_t> &file, const ReadLimits &limits,
               std::vector<std::string> *warnings);
Bitmap ReadBmp(const std::vector<uint8_t> &file, const ReadLimits &limits);

} // namespace pxc

#endif
