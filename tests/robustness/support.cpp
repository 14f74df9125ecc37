#include "robustness/support.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "encoder/writer.h"

namespace {

struct CallbackState {
    Decoded *out;
    int32_t stop_at;
    int32_t calls;
    int32_t height;
};

int32_t PXCM_API Record(int32_t num, int32_t denom, PxcmLong user) {
    auto *s = reinterpret_cast<CallbackState *>(user);
    s->out->progress.push_back(num);
    if (denom != s->height) s->out->denominators_ok = false;
    return s->calls++ == s->stop_at ? 1 : 0;
}

Decoded Decode(const char *location, PxcmLong extent, uint32_t mode, int32_t height,
               int32_t stop_at) {
    Decoded d;
    CallbackState state{&d, stop_at, 0, height};
    PxcmBlock info = Sentinel(1), pixels = Sentinel(2);
    d.result = GetPicture(location, extent, mode, &info, &pixels, Record,
                          reinterpret_cast<PxcmLong>(&state));
    d.info_untouched = info == Sentinel(1);
    d.pixels_untouched = pixels == Sentinel(2);
    for (int c = 0; c < CALL_COUNT; c++) {
        d.calls[c] = FaultsCalls(static_cast<PlatformCall>(c));
        FaultsArm(static_cast<PlatformCall>(c), 0);
    }
    if (d.result == ERR_NONE) {
        memcpy(&d.header, LockBlock(info), sizeof d.header);
        UnlockBlock(info);
        const uint64_t size = GetBlockSize(pixels);
        const auto *p = static_cast<const uint8_t *>(LockBlock(pixels));
        if (p != nullptr) d.pixels.assign(p, p + size);
        UnlockBlock(pixels);
        FreeBlock(pixels);
        FreeBlock(info);
    }
    return d;
}

int32_t HeightOf(const Bytes &file) { return file.size() >= 16 ? file[14] | file[15] << 8 : -1; }

} // namespace

Decoded DecodeMemory(const Bytes &file, int32_t stop_at) {
    // A heap copy of exactly the file's size (an empty vector may have no buffer).
    auto *copy = static_cast<uint8_t *>(malloc(file.empty() ? 1 : file.size()));
    if (!file.empty()) memcpy(copy, file.data(), file.size());
    Decoded d = Decode(reinterpret_cast<const char *>(copy), static_cast<PxcmLong>(file.size()),
                       SOURCE_MEMORY, HeightOf(file), stop_at);
    free(copy);
    return d;
}

Decoded DecodeFile(const std::string &path, PxcmLong offset, int32_t stop_at) {
    Bytes all = ReadWholeFile(path);
    Bytes file(all.begin() + std::min<PxcmLong>(offset, static_cast<PxcmLong>(all.size())), all.end());
    return Decode(path.c_str(), offset, SOURCE_FILE, HeightOf(file), stop_at);
}

Bytes ExamplePicture() {
    Bytes file;
    PutHeader(&file, 2, 1);
    const uint8_t tail[] = {0x64, 0x02, 0x07, 0x01, 0x57, 0x67, 0xFA, 0, 0, 0, 0};
    file.insert(file.end(), tail, tail + sizeof tail);
    return file;
}

bool HeaderAccepted(const Bytes &f) {
    if (f.size() < 24) return false;
    static const uint8_t fixed[24] = {'P', 'X', 'C', 'M', 0, 0, 1, 0, 0, 0, 0, 0,
                                      0,   0,   0,   0,   24, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 24; i++) {
        if (i >= 12 && i < 16) continue; // width and height take any value
        if (f[i] != fixed[i]) return false;
    }
    return true;
}

uint64_t BitmapBytes(uint32_t width, uint32_t height) {
    return ((static_cast<uint64_t>(width) * 3 + 3) & ~3ull) * height;
}

std::vector<std::string> SampleFiles() {
    std::vector<std::string> files;
    if (DIR *dir = opendir(PXCM_SAMPLES_DIR)) {
        while (dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() < 4) continue;
            std::string ext = name.substr(name.size() - 4);
            for (char &c : ext) c = static_cast<char>(tolower(c));
            if (ext == ".pxc") files.push_back(std::string(PXCM_SAMPLES_DIR) + "/" + name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

Bytes ReadWholeFile(const std::string &path) {
    Bytes bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    fclose(f);
    return bytes;
}

TempFile::TempFile(const Bytes &bytes) {
    char dir[] = "/tmp/pxcm-robustness-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    path = std::string(dir) + "/picture.pxc";
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    fclose(f);
}

TempFile::~TempFile() {
    unlink(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
}
