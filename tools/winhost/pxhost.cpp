// pxhost: a stand-in for the image viewer that loads pxcm.dll.
//
//   pxhost PATH\TO\pxcm.dll PICTURE_DIR
//
// Loads the DLL with LoadLibraryA, finds the five exports with
// GetProcAddress and checks them through the Windows API the way a viewer
// uses them: info strings, probes through real file handles and through a
// 2048-byte buffer, picture information from files (also at an offset
// inside a file) and from memory, and whole decodes whose blocks are read
// back with LocalLock and released with LocalFree; the banner and the
// version resource carry this build's version. Pixels are compared byte
// for byte with the pixels a native build decoded from the same files
// (PICTURE_DIR, written by make_pictures).
//
// One line per check, "PASS name" or "FAIL name: reason", and a closing
// "N passed, N failed"; the exit status is 1 when any check failed. Unix
// paths (as CTest passes them under Wine) are taken as drive Z:.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "format/format.h"
#include "plugin/pxcm.h"

namespace {

typedef int32_t(PXCM_API *GetPluginInfoFn)(int32_t, char *, int32_t);
typedef int32_t(PXCM_API *IsSupportedFn)(const char *, PxcmRef);
typedef int32_t(PXCM_API *GetPictureInfoFn)(const char *, PxcmLong, uint32_t, void *);
typedef int32_t(PXCM_API *GetPictureFn)(const char *, PxcmLong, uint32_t, HLOCAL *, HLOCAL *,
                                        ProgressCallback, PxcmLong);

struct Plugin {
    GetPluginInfoFn get_plugin_info = nullptr;
    IsSupportedFn is_supported = nullptr;
    GetPictureInfoFn get_picture_info = nullptr;
    GetPictureFn get_picture = nullptr;
    GetPictureFn get_preview = nullptr;
};

struct Picture {
    std::string name;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t tokens = 0;
    int32_t result = 0;          // what the native build's GetPicture returned
    std::vector<uint8_t> file;   // the whole picture file
    std::vector<uint8_t> pixels; // the native pixel block (empty unless result is 0)
    std::string path;            // the file, written alone
    std::string embedded_path;   // the file behind JUNK_SIZE bytes of junk
};

// Bytes before the picture in the "embedded" files: not a multiple of
// anything the decoder might read in.
constexpr uint32_t JUNK_SIZE = 1237;

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string &name, const std::string &why = "") {
    if (ok) {
        printf("PASS %s\n", name.c_str());
        g_passed++;
    } else {
        printf("FAIL %s: %s\n", name.c_str(), why.c_str());
        g_failed++;
    }
    fflush(stdout);
}

template <typename... Args> std::string Format(const char *fmt, Args... args) {
    char buf[512];
    snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char &c : path)
        if (c == '/') c = '\\';
    return path;
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteWholeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()),
                                         &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

uint64_t Stride(uint32_t width) { return static_cast<uint64_t>(RowStride(width)); }

std::vector<uint8_t> Junk(uint32_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

// ---------------------------------------------------------------------------
// GetPluginInfo and GetPreview

void CheckInfo(const Plugin &p) {
    char buf[64];

    memset(buf, 0x5A, sizeof buf);
    int32_t n = p.get_plugin_info(0, buf, 64);
    bool zero_tail = true;
    for (int i = 4; i < 64; i++) zero_tail = zero_tail && buf[i] == 0;
    Check(n == 4 && memcmp(buf, "00IN", 4) == 0 && zero_tail, "info 0 is 00IN, zero-filled to 64",
          Format("returned %d, \"%.4s\", zero tail %d", n, buf, zero_tail));

    memset(buf, 0x5A, sizeof buf);
    n = p.get_plugin_info(1, buf, 5);
    bool beyond = true;
    for (int i = 5; i < 64; i++) beyond = beyond && buf[i] == 0x5A;
    Check(n == 4 && memcmp(buf, "PXCM", 5) == 0 && beyond, "info 1 truncated to 5 bytes",
          Format("returned %d, \"%.5s\", bytes past 5 untouched %d", n, buf, beyond));

    memset(buf, 0x5A, sizeof buf);
    n = p.get_plugin_info(1, buf, 64);
    const char *banner = "PXCM to DIB filter ver0.01  pxcm " PXHOST_VERSION;
    Check(buf[63] == 0 && n == static_cast<int32_t>(strlen(banner)) && strcmp(buf, banner) == 0,
          "info 1 banner with the version", Format("returned %d, \"%s\"", n, buf[63] == 0 ? buf : "(unterminated)"));

    const struct {
        int32_t index;
        const char *text;
    } fixed[] = {{2, "*"}, {3, "RIVERFOX CG (*.PXC)"}};
    for (const auto &f : fixed) {
        memset(buf, 0x5A, sizeof buf);
        n = p.get_plugin_info(f.index, buf, 64);
        Check(n == static_cast<int32_t>(strlen(f.text)) && strcmp(buf, f.text) == 0,
              Format("info %d is \"%s\"", f.index, f.text),
              Format("returned %d, \"%s\"", n, buf[63] == 0 ? buf : "(unterminated)"));
    }

    for (int32_t index : {4, -1, 1000}) {
        memset(buf, 0x5A, sizeof buf);
        n = p.get_plugin_info(index, buf, 64);
        bool untouched = true;
        for (char c : buf) untouched = untouched && c == 0x5A;
        Check(n == 0 && untouched, Format("info %d absent", index),
              Format("returned %d, buffer untouched %d", n, untouched));
    }

    memset(buf, 0x5A, sizeof buf);
    n = p.get_plugin_info(0, buf, 1);
    Check(n == 0 && buf[0] == 0 && buf[1] == 0x5A, "info with a 1-byte buffer",
          Format("returned %d, bytes %02x %02x", n, buf[0] & 0xff, buf[1] & 0xff));

    HLOCAL a = reinterpret_cast<HLOCAL>(0x1234), b = reinterpret_cast<HLOCAL>(0x5678);
    int32_t r = p.get_preview("x", 0, 0, &a, &b, nullptr, 0);
    Check(r == ERR_NOT_IMPLEMENTED && a == reinterpret_cast<HLOCAL>(0x1234) &&
              b == reinterpret_cast<HLOCAL>(0x5678),
          "GetPreview not implemented", Format("returned %d", r));
}

// ---------------------------------------------------------------------------
// The version resource, read the way Windows shows it (file properties)

std::string VersionString(const std::vector<char> &info, const char *name) {
    char *value = nullptr;
    UINT size = 0;
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &size) ||
        value == nullptr)
        return "(none)";
    return std::string(value, strnlen(value, size));
}

void CheckVersionResource(const std::string &dll) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
    std::vector<char> info(size);
    if (size == 0 || !GetFileVersionInfoA(dll.c_str(), 0, size, info.data())) {
        Check(false, "version resource", Format("none found (error %lu)", GetLastError()));
        return;
    }
    unsigned major = 0, minor = 0, patch = 0;
    sscanf(PXHOST_VERSION, "%u.%u.%u", &major, &minor, &patch);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixed_size = 0;
    const bool have_fixed =
        VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &fixed_size) &&
        fixed != nullptr && fixed_size >= sizeof *fixed && fixed->dwSignature == 0xFEEF04BD;
    const DWORD want_ms = (major << 16) | minor, want_ls = patch << 16;
    Check(have_fixed && fixed->dwFileVersionMS == want_ms && fixed->dwFileVersionLS == want_ls &&
              fixed->dwProductVersionMS == want_ms && fixed->dwProductVersionLS == want_ls &&
              fixed->dwFileType == VFT_DLL,
          "version resource: numbers " PXHOST_VERSION ".0, a DLL",
          have_fixed ? Format("file %lu.%lu.%lu.%lu, product %lu.%lu.%lu.%lu, type %lu",
                              fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                              fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
                              fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
                              fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF,
                              fixed->dwFileType)
                     : std::string("no fixed part"));

    // The description names the build this host is: it loaded the DLL.
    const std::string kind = sizeof(void *) == 8 ? "(64-bit, x64)" : "(32-bit, x86)";
    const std::string description = VersionString(info, "FileDescription");
    const std::string product = VersionString(info, "ProductName");
    const std::string file_version = VersionString(info, "FileVersion");
    const std::string product_version = VersionString(info, "ProductVersion");
    const std::string file_name = VersionString(info, "OriginalFilename");
    Check(product == "pxcm" && file_version == PXHOST_VERSION && product_version == PXHOST_VERSION &&
              file_name == "pxcm.dll" && description.find(kind) != std::string::npos,
          "version resource: strings",
          Format("product \"%s\" %s, file %s \"%s\", description \"%s\" (want %s)",
                 product.c_str(), product_version.c_str(), file_name.c_str(), file_version.c_str(),
                 description.c_str(), kind.c_str()));
}

// ---------------------------------------------------------------------------
// IsSupported

HANDLE OpenForReading(const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Probes through a handle positioned at `at`; checks the answer and that the
// handle's position is where it was.
void ProbeHandle(const Plugin &p, const std::string &name, const std::string &path, LONG at,
                 int32_t want) {
    HANDLE h = OpenForReading(path);
    if (h == INVALID_HANDLE_VALUE) {
        Check(false, name, "cannot open " + path);
        return;
    }
    if (reinterpret_cast<uintptr_t>(h) > 0xFFFF) {
        // The interface tells handles from pointers by the upper 16 bits.
        Check(false, name, Format("file handle %p does not fit in 16 bits", h));
        CloseHandle(h);
        return;
    }
    SetFilePointer(h, at, nullptr, FILE_BEGIN);
    int32_t answer = p.is_supported("picture.pxc", reinterpret_cast<PxcmRef>(h));
    DWORD pos = SetFilePointer(h, 0, nullptr, FILE_CURRENT);
    CloseHandle(h);
    Check(answer == want && pos == static_cast<DWORD>(at), name,
          Format("answered %d (want %d), position %lu (want %ld)", answer, want,
                 static_cast<unsigned long>(pos), static_cast<long>(at)));
}

// A 2048-byte buffer that ends where readable memory ends: a probe that
// reads one byte past it faults.
struct GuardedHead {
    uint8_t *page = nullptr;
    uint8_t *head = nullptr;
    GuardedHead() {
        page = static_cast<uint8_t *>(
            VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (page == nullptr) return;
        DWORD old = 0;
        VirtualProtect(page + 4096, 4096, PAGE_NOACCESS, &old);
        head = page + 4096 - 2048;
    }
    ~GuardedHead() {
        if (page != nullptr) VirtualFree(page, 0, MEM_RELEASE);
    }
    void Fill(const std::vector<uint8_t> &bytes) {
        memset(head, 0, 2048);
        memcpy(head, bytes.data(), bytes.size() < 2048 ? bytes.size() : 2048);
    }
};

void CheckProbe(const Plugin &p, const Picture &pic, const std::string &dir) {
    ProbeHandle(p, "probe handle, picture file", pic.path, 0, 1);
    ProbeHandle(p, "probe handle, picture at an offset", pic.embedded_path,
                static_cast<LONG>(JUNK_SIZE), 1);
    ProbeHandle(p, "probe handle, junk before the picture", pic.embedded_path, 0, 0);

    std::vector<uint8_t> ten(pic.file.begin(), pic.file.begin() + 10);
    const std::string ten_path = dir + "\\ten.pxc";
    WriteWholeFile(ten_path, ten);
    ProbeHandle(p, "probe handle, 10-byte file", ten_path, 0, 0);
    ProbeHandle(p, "probe handle, 10-byte file from byte 4", ten_path, 4, 0);

    std::vector<uint8_t> lower = pic.file;
    memcpy(lower.data(), "pxcm", 4);
    const std::string lower_path = dir + "\\lower.pxc";
    WriteWholeFile(lower_path, lower);
    ProbeHandle(p, "probe handle, lower-case tag", lower_path, 0, 0);

    // A bitmap file, as a viewer would also probe.
    std::vector<uint8_t> bmp = Junk(3000, 7);
    memcpy(bmp.data(), "BM", 2);
    const std::string bmp_path = dir + "\\other.bmp";
    WriteWholeFile(bmp_path, bmp);
    ProbeHandle(p, "probe handle, other format", bmp_path, 0, 0);

    GuardedHead guard;
    if (guard.head == nullptr) {
        Check(false, "probe buffer", "VirtualAlloc failed");
        return;
    }
    guard.Fill(pic.file);
    Check(p.is_supported("picture.pxc", reinterpret_cast<PxcmRef>(guard.head)) == 1,
          "probe buffer, picture head", "answered not 1");
    guard.Fill(ten);
    Check(p.is_supported("picture.pxc", reinterpret_cast<PxcmRef>(guard.head)) == 0,
          "probe buffer, 10 bytes and zeros", "answered not 0");
    guard.Fill(bmp);
    Check(p.is_supported("picture.pxc", reinterpret_cast<PxcmRef>(guard.head)) == 0,
          "probe buffer, other format", "answered not 0");
}

// ---------------------------------------------------------------------------
// GetPictureInfo

// Calls GetPictureInfo into a 40-byte area filled with 0xCD and checks the
// record byte by byte: 26 bytes on 32-bit Windows (30 on 64-bit), packed.
void InfoCase(const Plugin &p, const std::string &name, const Picture &pic, const char *location,
              PxcmLong extent, uint32_t mode) {
    uint8_t area[40];
    memset(area, 0xCD, sizeof area);
    int32_t r = p.get_picture_info(location, extent, mode, area);
    const size_t record = 22 + sizeof(void *);
    uint8_t want[40];
    memset(want, 0xCD, sizeof want);
    memset(want, 0, record);
    memcpy(want + 8, &pic.width, 4);
    memcpy(want + 12, &pic.height, 4);
    want[20] = 24;
    std::string diff;
    for (size_t i = 0; i < sizeof area && diff.size() < 200; i++)
        if (area[i] != want[i]) diff += Format(" [%zu]=%02x want %02x", i, area[i], want[i]);
    Check(r == ERR_NONE && diff.empty(), name, Format("returned %d;", r) + diff);
}

void InfoFails(const Plugin &p, const std::string &name, const char *location, PxcmLong extent,
               uint32_t mode, int32_t want) {
    uint8_t area[40];
    memset(area, 0xCD, sizeof area);
    int32_t r = p.get_picture_info(location, extent, mode, area);
    bool untouched = true;
    for (uint8_t b : area) untouched = untouched && b == 0xCD;
    Check(r == want && untouched, name,
          Format("returned %d (want %d), record untouched %d", r, want, untouched));
}

void CheckPictureInfo(const Plugin &p, const std::vector<Picture> &pics, const std::string &dir) {
    for (const Picture &pic : pics) {
        InfoCase(p, "info from file: " + pic.name, pic, pic.path.c_str(), 0, SOURCE_FILE);
        InfoCase(p, "info from file at an offset: " + pic.name, pic, pic.embedded_path.c_str(),
                 JUNK_SIZE, SOURCE_FILE);
        InfoCase(p, "info from memory: " + pic.name, pic,
                 reinterpret_cast<const char *>(pic.file.data()),
                 static_cast<PxcmLong>(pic.file.size()), SOURCE_MEMORY);
    }
    const Picture &pic = pics.front();
    // Only the low 3 bits of the mode choose the source.
    InfoCase(p, "info, mode bits above the kind ignored", pic,
             reinterpret_cast<const char *>(pic.file.data()),
             static_cast<PxcmLong>(pic.file.size()), 0xFFFFFF00u | SOURCE_MEMORY);
    InfoFails(p, "info, source kind 3", pic.path.c_str(), 0, 3, ERR_INTERNAL);
    InfoFails(p, "info, source kind 2", pic.path.c_str(), 0, 2, ERR_INTERNAL);
    InfoFails(p, "info, missing file", (dir + "\\missing.pxc").c_str(), 0, SOURCE_FILE, ERR_READ);
    InfoFails(p, "info, embedded picture read from byte 0", pic.embedded_path.c_str(), 0, SOURCE_FILE,
              ERR_BAD_FORMAT);
    InfoFails(p, "info, 10-byte file", (dir + "\\ten.pxc").c_str(), 0, SOURCE_FILE, ERR_READ);
    InfoFails(p, "info, lower-case tag", (dir + "\\lower.pxc").c_str(), 0, SOURCE_FILE,
              ERR_BAD_FORMAT);
    InfoFails(p, "info, memory shorter than a header",
              reinterpret_cast<const char *>(pic.file.data()), 23, SOURCE_MEMORY, ERR_READ);
}

// ---------------------------------------------------------------------------
// GetPicture

struct Progress {
    std::vector<std::pair<int32_t, int32_t>> calls;
    std::vector<PxcmLong> users;
    int32_t stop_at = -1; // index of the call that answers 1, -1 = never
};

int32_t PXCM_API RecordProgress(int32_t num, int32_t denom, PxcmLong user) {
    auto *pr = reinterpret_cast<Progress *>(user);
    pr->calls.emplace_back(num, denom);
    pr->users.push_back(user);
    return static_cast<int32_t>(pr->calls.size()) - 1 == pr->stop_at ? 1 : 0;
}

// Reads back both blocks of a successful decode through the local-memory
// API, checks them and frees them. Returns an empty string or the faults.
std::string TakeBlocks(HLOCAL info, HLOCAL pixels, const Picture &pic) {
    std::string why;
    if (info == nullptr || pixels == nullptr) return "null block handle";
    // Both blocks come back unlocked.
    if ((LocalFlags(info) & LMEM_LOCKCOUNT) != 0) why += " information block still locked;";
    if ((LocalFlags(pixels) & LMEM_LOCKCOUNT) != 0) why += " pixel block still locked;";
    const uint64_t size = pic.height * Stride(pic.width);
    if (LocalSize(info) < 40) why += Format(" information block of %zu bytes;", LocalSize(info));
    if (LocalSize(pixels) < size)
        why += Format(" pixel block of %zu bytes, want %llu;", LocalSize(pixels),
                      static_cast<unsigned long long>(size));
    auto *bh = static_cast<const BITMAPINFOHEADER *>(LocalLock(info));
    if (bh == nullptr) {
        why += " LocalLock(information) failed;";
    } else {
        if (bh->biSize != 40 || bh->biWidth != static_cast<LONG>(pic.width) ||
            bh->biHeight != static_cast<LONG>(pic.height) || bh->biPlanes != 1 ||
            bh->biBitCount != 24 || bh->biCompression != BI_RGB || bh->biSizeImage != size ||
            bh->biXPelsPerMeter != 0 || bh->biYPelsPerMeter != 0 || bh->biClrUsed != 0 ||
            bh->biClrImportant != 0)
            why += Format(" header %lu %ld x %ld planes %u bits %u compression %lu image %lu;",
                          static_cast<unsigned long>(bh->biSize), static_cast<long>(bh->biWidth),
                          static_cast<long>(bh->biHeight), bh->biPlanes, bh->biBitCount,
                          static_cast<unsigned long>(bh->biCompression),
                          static_cast<unsigned long>(bh->biSizeImage));
        LocalUnlock(info);
    }
    auto *px = static_cast<const uint8_t *>(LocalLock(pixels));
    if (px == nullptr) {
        why += " LocalLock(pixels) failed;";
    } else {
        if (pic.pixels.size() != size) {
            why += " native pixel dump has the wrong size;";
        } else if (memcmp(px, pic.pixels.data(), size) != 0) {
            size_t i = 0;
            while (px[i] == pic.pixels[i]) i++;
            why += Format(" pixels differ from the native decode at byte %zu (row %llu from the "
                          "bottom): %02x, native %02x;",
                          i, static_cast<unsigned long long>(i / Stride(pic.width)), px[i],
                          pic.pixels[i]);
        }
        LocalUnlock(pixels);
    }
    if (LocalFree(info) != nullptr) why += " LocalFree(information) failed;";
    if (LocalFree(pixels) != nullptr) why += " LocalFree(pixels) failed;";
    return why;
}

std::string ExpectProgress(const Progress &pr, uint32_t height, size_t count) {
    if (pr.calls.size() != count)
        return Format(" %zu callbacks, want %zu;", pr.calls.size(), count);
    for (size_t i = 0; i < pr.calls.size(); i++) {
        if (pr.calls[i].first != static_cast<int32_t>(i) ||
            pr.calls[i].second != static_cast<int32_t>(height))
            return Format(" callback %zu saw (%d, %d);", i, pr.calls[i].first, pr.calls[i].second);
        if (pr.users[i] != reinterpret_cast<PxcmLong>(&pr)) return " user data changed;";
    }
    return "";
}

void DecodeCase(const Plugin &p, const std::string &name, const Picture &pic, const char *location,
                PxcmLong extent, uint32_t mode, bool with_callback) {
    HLOCAL info = nullptr, pixels = nullptr;
    Progress pr;
    int32_t r = p.get_picture(location, extent, mode, &info, &pixels,
                              with_callback ? RecordProgress : nullptr,
                              reinterpret_cast<PxcmLong>(&pr));
    std::string why;
    if (r != pic.result) why += Format(" returned %d, native build %d;", r, pic.result);
    if (r == ERR_NONE) {
        if (with_callback) why += ExpectProgress(pr, pic.height, pic.height + 1);
        why += TakeBlocks(info, pixels, pic);
    }
    Check(why.empty(), name, why);
}

void CheckDecode(const Plugin &p, const std::vector<Picture> &pics) {
    for (const Picture &pic : pics) {
        DecodeCase(p, "decode from memory: " + pic.name, pic,
                   reinterpret_cast<const char *>(pic.file.data()),
                   static_cast<PxcmLong>(pic.file.size()), SOURCE_MEMORY, true);
        DecodeCase(p, "decode from file: " + pic.name, pic, pic.path.c_str(), 0, SOURCE_FILE,
                   true);
        DecodeCase(p, "decode from file at an offset, no callback: " + pic.name, pic,
                   pic.embedded_path.c_str(), JUNK_SIZE, SOURCE_FILE, false);
    }

    // Failures before any block exists leave the host's variables alone.
    const Picture &pic = pics.front();
    const struct {
        const char *name;
        const char *location;
        PxcmLong extent;
        uint32_t mode;
        int32_t want;
    } early[] = {
        {"decode, source kind 3", pic.path.c_str(), 0, 3, ERR_INTERNAL},
        {"decode, refused header", pic.embedded_path.c_str(), 0, SOURCE_FILE, ERR_BAD_FORMAT},
        {"decode, short header", reinterpret_cast<const char *>(pic.file.data()), 20,
         SOURCE_MEMORY, ERR_READ},
    };
    for (const auto &e : early) {
        HLOCAL a = reinterpret_cast<HLOCAL>(0x1234), b = reinterpret_cast<HLOCAL>(0x5678);
        Progress pr;
        int32_t r = p.get_picture(e.location, e.extent, e.mode, &a, &b, RecordProgress,
                                  reinterpret_cast<PxcmLong>(&pr));
        Check(r == e.want && a == reinterpret_cast<HLOCAL>(0x1234) &&
                  b == reinterpret_cast<HLOCAL>(0x5678) && pr.calls.empty(),
              e.name,
              Format("returned %d (want %d), %zu callbacks, handles %p %p", r, e.want,
                     pr.calls.size(), a, b));
    }
}

// Bytes in use in every heap of the process (local memory and the C heap
// both live there); large blocks count too.
uint64_t HeapBytesInUse() {
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    uint64_t total = 0;
    for (DWORD i = 0; i < n && i < 64; i++) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY e;
        e.lpData = nullptr;
        while (HeapWalk(heaps[i], &e))
            if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += e.cbData;
        HeapUnlock(heaps[i]);
    }
    return total;
}

void CheckCancel(const Plugin &p, const std::vector<Picture> &pics) {
    // The largest decodable picture: a leaked pixel block shows most.
    const Picture *big = nullptr;
    for (const Picture &pic : pics)
        if (pic.result == ERR_NONE && (big == nullptr || pic.pixels.size() > big->pixels.size()))
            big = &pic;
    if (big == nullptr) {
        Check(false, "cancel", "no decodable picture");
        return;
    }
    const char *data = reinterpret_cast<const char *>(big->file.data());
    const PxcmLong size = static_cast<PxcmLong>(big->file.size());

    for (int32_t stop_at : {0, static_cast<int32_t>(big->height)}) {
        Progress pr;
        pr.stop_at = stop_at;
        HLOCAL info = nullptr, pixels = nullptr;
        int32_t r = p.get_picture(data, size, SOURCE_MEMORY, &info, &pixels, RecordProgress,
                                  reinterpret_cast<PxcmLong>(&pr));
        std::string why;
        if (r != ERR_ABORTED) why += Format(" returned %d;", r);
        why += ExpectProgress(pr, big->height, static_cast<size_t>(stop_at) + 1);
        Check(why.empty(), stop_at == 0 ? "cancel at the first callback" : "cancel at the last callback",
              why);
    }

    // Nothing stays allocated after a cancelled decode. First make sure the
    // meter sees a block of that size at all.
    const uint64_t block = big->pixels.size();
    uint64_t before = HeapBytesInUse();
    HLOCAL probe = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, static_cast<SIZE_T>(block));
    uint64_t with_block = HeapBytesInUse();
    LocalFree(probe);
    Check(with_block >= before + block, "heap meter sees a pixel-sized block",
          Format("%llu bytes in use before, %llu with a %llu-byte block",
                 static_cast<unsigned long long>(before),
                 static_cast<unsigned long long>(with_block),
                 static_cast<unsigned long long>(block)));

    constexpr int ROUNDS = 40;
    before = HeapBytesInUse();
    int aborted = 0;
    for (int i = 0; i < ROUNDS; i++) {
        Progress pr;
        pr.stop_at = (i % 2 == 0) ? 0 : static_cast<int32_t>(big->height);
        HLOCAL info = nullptr, pixels = nullptr;
        if (p.get_picture(data, size, SOURCE_MEMORY, &info, &pixels, RecordProgress,
                          reinterpret_cast<PxcmLong>(&pr)) == ERR_ABORTED)
            aborted++;
    }
    uint64_t after = HeapBytesInUse();
    const uint64_t grown = after > before ? after - before : 0;
    Check(aborted == ROUNDS && grown < block, "cancelled decodes leak nothing",
          Format("%d of %d aborted, heap grew by %llu bytes (a pixel block is %llu)", aborted,
                 ROUNDS, static_cast<unsigned long long>(grown),
                 static_cast<unsigned long long>(block)));
}

// Several decodes at once on different threads, each checked in full.
void CheckThreads(const Plugin &p, const std::vector<Picture> &pics) {
    std::vector<const Picture *> decodable;
    for (const Picture &pic : pics)
        if (pic.result == ERR_NONE) decodable.push_back(&pic);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (size_t k = 0; k < decodable.size(); k++) {
                const Picture &pic = *decodable[(k + static_cast<size_t>(t)) % decodable.size()];
                HLOCAL info = nullptr, pixels = nullptr;
                int32_t r = p.get_picture(reinterpret_cast<const char *>(pic.file.data()),
                                          static_cast<PxcmLong>(pic.file.size()), SOURCE_MEMORY,
                                          &info, &pixels, nullptr, 0);
                if (r != ERR_NONE || !TakeBlocks(info, pixels, pic).empty()) bad++;
            }
        });
    }
    for (auto &t : threads) t.join();
    Check(bad == 0, "four threads decoding at once", Format("%d decodes went wrong", bad.load()));
}

// ---------------------------------------------------------------------------

bool LoadPictures(const std::string &dir, const std::string &tmp, std::vector<Picture> *out) {
    std::ifstream index(dir + "\\pictures.txt");
    if (!index) {
        Check(false, "pictures", "cannot read " + dir + "\\pictures.txt (run make_pictures)");
        return false;
    }
    std::string line;
    while (std::getline(index, line)) {
        std::istringstream in(line);
        Picture pic;
        if (!(in >> pic.name >> pic.width >> pic.height >> pic.tokens >> pic.result)) continue;
        bool ok = ReadWholeFile(dir + "\\" + pic.name + ".pxc", &pic.file) &&
                  (pic.result != ERR_NONE || ReadWholeFile(dir + "\\" + pic.name + ".bgr", &pic.pixels));
        if (!ok) {
            Check(false, "pictures", "cannot read the files of " + pic.name);
            return false;
        }
        pic.path = tmp + "\\" + pic.name + ".pxc";
        pic.embedded_path = tmp + "\\" + pic.name + "-embedded.dat";
        std::vector<uint8_t> embedded = Junk(JUNK_SIZE, pic.width * 31 + pic.height);
        embedded.insert(embedded.end(), pic.file.begin(), pic.file.end());
        if (!WriteWholeFile(pic.path, pic.file) || !WriteWholeFile(pic.embedded_path, embedded)) {
            Check(false, "pictures", "cannot write into " + tmp);
            return false;
        }
        out->push_back(std::move(pic));
    }
    bool several_sets = false;
    for (const Picture &pic : *out) several_sets = several_sets || pic.tokens > static_cast<uint64_t>(REBUILD_PERIOD);
    Check(out->size() >= 4 && several_sets, "pictures",
          Format("%zu pictures, one with a second table set: %d", out->size(), several_sets));
    return !out->empty();
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pxhost PATH\\TO\\pxcm.dll PICTURE_DIR\n");
        return 2;
    }
    const std::string dll = WindowsPath(argv[1]);
    const std::string dir = WindowsPath(argv[2]);
    printf("pxhost: %d-bit, %s, pictures from %s\n", static_cast<int>(sizeof(void *) * 8),
           dll.c_str(), dir.c_str());

    HMODULE module = LoadLibraryA(dll.c_str());
    Check(module != nullptr, "LoadLibraryA", Format("error %lu", GetLastError()));
    if (module == nullptr) return 1;
    Plugin p;
    const struct {
        const char *name;
        FARPROC *slot;
    } exports[] = {
        {"GetPluginInfo", reinterpret_cast<FARPROC *>(&p.get_plugin_info)},
        {"IsSupported", reinterpret_cast<FARPROC *>(&p.is_supported)},
        {"GetPictureInfo", reinterpret_cast<FARPROC *>(&p.get_picture_info)},
        {"GetPicture", reinterpret_cast<FARPROC *>(&p.get_picture)},
        {"GetPreview", reinterpret_cast<FARPROC *>(&p.get_preview)},
    };
    bool all = true;
    for (const auto &e : exports) {
        *e.slot = GetProcAddress(module, e.name);
        Check(*e.slot != nullptr, Format("GetProcAddress %s", e.name), "not exported");
        all = all && *e.slot != nullptr;
    }
    if (!all) return 1;

    char tmp_root[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp_root);
    const std::string tmp = Format("%spxhost-%lu", tmp_root, GetCurrentProcessId());
    CreateDirectoryA(tmp.c_str(), nullptr);

    CheckInfo(p);
    CheckVersionResource(dll);
    std::vector<Picture> pics;
    if (LoadPictures(dir, tmp, &pics)) {
        // The probes want a real picture with pixels: the first one in the set.
        const Picture *probe = nullptr;
        for (const Picture &pic : pics)
            if (probe == nullptr && pic.result == ERR_NONE && pic.file.size() > 24) probe = &pic;
        if (probe != nullptr) CheckProbe(p, *probe, tmp);
        CheckPictureInfo(p, pics, tmp);
        CheckDecode(p, pics);
        CheckCancel(p, pics);
        CheckThreads(p, pics);
    }

    // Leave no files behind.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((tmp + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((tmp + "\\" + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(tmp.c_str());
    FreeLibrary(module);

    printf("pxhost: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
