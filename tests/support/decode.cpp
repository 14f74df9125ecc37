#include "support/decode.h"

#include <stdlib.h>
#include <string.h>

#include "support/header_rule.h"

namespace {

struct Recorder {
    Decoded *out;
    int32_t stop_at;
};

int32_t PXCM_API Record(int32_t num, int32_t denom, PxcmLong user) {
    auto *r = reinterpret_cast<Recorder *>(user);
    r->out->calls.emplace_back(num, denom);
    return static_cast<int32_t>(r->out->calls.size()) - 1 == r->stop_at ? 1 : 0;
}

Handle StateOf(PxcmBlock block, PxcmBlock sentinel) {
    if (block == sentinel) return Handle::Untouched;
    return block == nullptr ? Handle::Cleared : Handle::Block;
}

} // namespace

Decoded DecodeAt(const char *location, PxcmLong extent, uint32_t mode, int32_t stop_at) {
    Decoded d;
    Recorder recorder{&d, stop_at};
    int before[CALL_COUNT];
    for (int c = 0; c < CALL_COUNT; c++) before[c] = FaultsCalls(static_cast<PlatformCall>(c));
    PxcmBlock info = Sentinel(1), pixels = Sentinel(2);
    d.result = GetPicture(location, extent, mode, &info, &pixels, stop_at == NO_CALLBACK ? nullptr : Record,
                          reinterpret_cast<PxcmLong>(&recorder));
    for (int c = 0; c < CALL_COUNT; c++) {
        d.platform_calls[c] = FaultsCalls(static_cast<PlatformCall>(c)) - before[c];
        FaultsArm(static_cast<PlatformCall>(c), 0);
    }
    d.info_handle = StateOf(info, Sentinel(1));
    d.pixels_handle = StateOf(pixels, Sentinel(2));
    if (d.result != ERR_NONE) return d;
    if (d.info_handle == Handle::Block) {
        d.info_size = GetBlockSize(info);
        if (const void *p = LockBlock(info)) {
            memcpy(&d.header, p, sizeof d.header);
            d.has_header = true;
            UnlockBlock(info);
        }
        FreeBlock(info);
    }
    if (d.pixels_handle == Handle::Block) {
        const uint64_t size = GetBlockSize(pixels);
        if (const auto *p = static_cast<const uint8_t *>(LockBlock(pixels))) {
            d.pixels.assign(p, p + size);
            UnlockBlock(pixels);
        }
        FreeBlock(pixels);
    }
    return d;
}

Decoded DecodeBytes(const std::vector<uint8_t> &file, int32_t stop_at) {
    // An empty vector may have no buffer: keep one byte.
    auto *copy = static_cast<uint8_t *>(malloc(file.empty() ? 1 : file.size()));
    if (!file.empty()) memcpy(copy, file.data(), file.size());
    Decoded d = DecodeAt(reinterpret_cast<const char *>(copy), static_cast<PxcmLong>(file.size()), SOURCE_MEMORY,
                         stop_at);
    free(copy);
    return d;
}

Decoded DecodeFile(const std::string &path, PxcmLong offset, int32_t stop_at) {
    return DecodeAt(path.c_str(), offset, SOURCE_FILE, stop_at);
}

Progress ProgressOf(uint32_t height) {
    Progress calls;
    for (uint32_t m = 0; m <= height; m++) calls.emplace_back(static_cast<int32_t>(m), static_cast<int32_t>(height));
    return calls;
}

PictureInfoBlock UntouchedRecord() {
    PictureInfoBlock r;
    memset(&r, 0xA5, sizeof r);
    return r;
}

bool SameRecord(const PictureInfoBlock &a, const PictureInfoBlock &b) { return memcmp(&a, &b, sizeof a) == 0; }

int32_t InfoFromBytes(const std::vector<uint8_t> &file, PictureInfoBlock *record, uint32_t mode) {
    return GetPictureInfo(reinterpret_cast<const char *>(file.data()), static_cast<PxcmLong>(file.size()), mode,
                          record);
}

int32_t ProbeBytes(const std::vector<uint8_t> &file) {
    const std::vector<uint8_t> head = ProbeHead(file);
    return IsSupported("x.pxc", reinterpret_cast<PxcmRef>(head.data()));
}
