// Platform failures: for every platform call in every export, from every
// kind of source, the k-th call fails for k = 1, 2, ... until the export
// succeeds. The result must be the one the failure tables give, and nothing
// may leak: blocks are checked by LeakSanitizer in the sanitizer builds,
// descriptors here by counting /proc/self/fd.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include <functional>

#include "platform/faults.h"
#include "robustness/support.h"
#include "support/random_stream.h"

namespace {

const char *const CALL_NAMES[CALL_COUNT] = {
    "open file",  "open memory", "seek",      "read",      "get info",   "close",
    "block alloc", "block lock", "heap alloc", "file read", "file rewind",
};

int OpenDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) n++;
        closedir(d);
    }
    return n;
}

struct Outcome {
    int32_t result = -100;
    bool success = false;
    std::string detail; // what was wrong, empty when as expected
    int uses = 0;       // calls of the swept kind the export made
};

// Runs `run` with call `call` failing at its k-th use, k = 1, 2, ... until
// it succeeds. `run(k)` judges its own outcome, k being the failing call
// or 0 when none fails. Returns how many calls of that kind a clean run makes.
int Sweep(const char *what, PlatformCall call, const std::function<Outcome(int k)> &run) {
    SCOPED_TRACE(std::string(what) + ", failing " + CALL_NAMES[call]);
    FaultsReset();
    const Outcome clean = run(0);
    const int uses = clean.uses;
    EXPECT_TRUE(clean.success) << clean.detail;
    for (int k = 1; k <= uses + 1; k++) {
        FaultsReset();
        FaultsArm(call, k);
        const Outcome o = run(k <= uses ? k : 0); // 0: nothing fails
        FaultsReset();
        EXPECT_TRUE(o.detail.empty()) << "k = " << k << ": " << o.detail;
        if (k == uses + 1) {
            EXPECT_TRUE(o.success) << "k = " << k << " is past the last call";
        }
    }
    return uses;
}

RandomStreamOptions Options(double run_share) {
    RandomStreamOptions o;
    o.run_share = run_share;
    return o;
}

struct Fixture {
    RandomPicture pic;
    Bytes file_bytes;
    std::unique_ptr<TempFile> file;
    static constexpr PxcmLong OFFSET = 5;
    explicit Fixture(uint32_t width = 12, uint32_t height = 8, double run_share = 0.25)
        : pic(MakeRandomPicture(41, width, height, Options(run_share))) {
        file_bytes.assign(OFFSET + pic.file.size(), 0x5A); // junk before the picture
        std::copy(pic.file.begin(), pic.file.end(), file_bytes.begin() + OFFSET);
        file = std::make_unique<TempFile>(file_bytes);
    }
};

std::string Expect(bool ok, const std::string &message) { return ok ? "" : message + "; "; }

} // namespace

// IsSupported through a pointer and through a descriptor: any failure
// answers 0, except that a failed close changes nothing; the descriptor's
// position is restored unless restoring it is what failed.
TEST(Faults, IsSupportedEveryCall) {
    Fixture fx;
    const int fds = OpenDescriptors();
    Bytes head(2048, 0);
    memcpy(head.data(), fx.pic.file.data(), std::min<size_t>(2048, fx.pic.file.size()));
    const int fd = open(fx.file->path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (int c = 0; c < CALL_COUNT; c++) {
        const auto call = static_cast<PlatformCall>(c);
        Sweep("IsSupported, pointer", call, [&](int k) {
            Outcome o;
            o.result = IsSupported("a.pxc", reinterpret_cast<PxcmRef>(head.data()));
            o.uses = FaultsCalls(call);
            o.success = o.result == 1;
            const bool answers = k == 0 || call == CALL_CLOSE;
            o.detail = Expect(o.result == (answers ? 1 : 0), "answer " + std::to_string(o.result));
            return o;
        });
        Sweep("IsSupported, descriptor", call, [&](int k) {
            Outcome o;
            EXPECT_EQ(lseek(fd, Fixture::OFFSET, SEEK_SET), Fixture::OFFSET);
            o.result = IsSupported(nullptr, static_cast<PxcmRef>(fd));
            o.uses = FaultsCalls(call);
            o.success = o.result == 1;
            const bool answers = k == 0 || call == CALL_CLOSE;
            o.detail = Expect(o.result == (answers ? 1 : 0), "answer " + std::to_string(o.result));
            const off_t at = lseek(fd, 0, SEEK_CUR);
            if (k != 0 && call == CALL_FILE_REWIND) {
                // The head was read and could not be given back.
                o.detail += Expect(at == static_cast<off_t>(fx.file_bytes.size()),
                                   "position " + std::to_string(at));
            } else {
                o.detail += Expect(at == Fixture::OFFSET, "position " + std::to_string(at));
            }
            return o;
        });
    }
    close(fd);
    EXPECT_EQ(OpenDescriptors(), fds);
}

// GetPictureInfo from memory and from a file at an offset.
TEST(Faults, GetPictureInfoEveryCall) {
    Fixture fx;
    const int fds = OpenDescriptors();
    for (int c = 0; c < CALL_COUNT; c++) {
        const auto call = static_cast<PlatformCall>(c);
        for (const bool from_file : {false, true}) {
            Sweep(from_file ? "GetPictureInfo, file" : "GetPictureInfo, memory", call, [&](int k) {
                PictureInfoBlock record, untouched;
                memset(&record, 0xA5, sizeof record);
                memset(&untouched, 0xA5, sizeof untouched);
                Outcome o;
                o.result = from_file
                               ? GetPictureInfo(fx.file->path.c_str(), Fixture::OFFSET, SOURCE_FILE,
                                                &record)
                               : GetPictureInfo(reinterpret_cast<const char *>(fx.pic.file.data()),
                                                static_cast<PxcmLong>(fx.pic.file.size()),
                                                SOURCE_MEMORY, &record);
                o.uses = FaultsCalls(call);
                o.success = o.result == ERR_NONE;
                const bool filled = record.width == 12 && record.height == 8 && record.depth == 24;
                const bool same = memcmp(&record, &untouched, sizeof record) == 0;
                int32_t want = ERR_NONE;
                bool want_filled = true;
                if (k != 0) {
                    switch (call) {
                    case CALL_OPEN_MEMORY: want = ERR_MEMORY; want_filled = false; break;
                    case CALL_OPEN_FILE:
                    case CALL_SEEK:
                    case CALL_READ: want = ERR_READ; want_filled = false; break;
                    case CALL_CLOSE: want = ERR_READ; break; // the record stays filled
                    default: break;
                    }
                }
                o.detail = Expect(o.result == want, "result " + std::to_string(o.result));
                o.detail += Expect(want_filled ? filled : same, "record");
                return o;
            });
        }
    }
    EXPECT_EQ(OpenDescriptors(), fds);
}

// GetPicture from memory and from a file: the result of each failure, what
// happened to the host's handle variables, and whether the callback ran.
// The larger picture spans several source reads and table sets.
TEST(Faults, GetPictureEveryCall) {
  for (const auto &shape : {std::pair<uint32_t, uint32_t>{12, 8}, {240, 160}}) {
    Fixture fx(shape.first, shape.second, shape.first == 240 ? 0.01 : 0.25);
    SCOPED_TRACE(std::to_string(shape.first) + "x" + std::to_string(shape.second));
    if (shape.first == 240) {
        ASSERT_GT(fx.pic.file.size(), 2u * 16384); // several chunks of any buffered reader
        ASSERT_GT(fx.pic.tokens, 16384u);           // two table sets
    }
    const int fds = OpenDescriptors();
    for (int c = 0; c < CALL_COUNT; c++) {
        const auto call = static_cast<PlatformCall>(c);
        for (const bool from_file : {false, true}) {
            const int uses = Sweep(from_file ? "GetPicture, file" : "GetPicture, memory", call, [&](int k) {
                const Decoded d = from_file ? DecodeFile(fx.file->path, Fixture::OFFSET)
                                            : DecodeMemory(fx.pic.file);
                Outcome o;
                o.result = d.result;
                o.uses = d.calls[call];
                o.success = d.result == ERR_NONE && d.pixels == fx.pic.pixels;
                int32_t want = ERR_NONE;
                bool info_kept = false, pixels_kept = false, called = true;
                if (k != 0) {
                    switch (call) {
                    case CALL_OPEN_MEMORY: want = ERR_MEMORY; info_kept = pixels_kept = true; called = false; break;
                    case CALL_OPEN_FILE:
                    case CALL_SEEK: want = ERR_READ; info_kept = pixels_kept = true; called = false; break;
                    case CALL_READ:
                        want = ERR_READ;
                        if (k == 1) { // the header
                            info_kept = pixels_kept = true;
                            called = false;
                        } else if (k > 2 && d.result == ERR_NONE) {
                            // A read ahead of need that failed after the
                            // picture's last bits had arrived.
                            want = ERR_NONE;
                        }
                        break;
                    case CALL_BLOCK_ALLOC:
                    case CALL_BLOCK_LOCK:
                        want = call == CALL_BLOCK_ALLOC ? ERR_NO_MEMORY : ERR_MEMORY;
                        pixels_kept = k == 1; // the second variable is not touched
                        called = false;
                        break;
                    case CALL_HEAP_ALLOC: want = ERR_NO_MEMORY; called = false; break;
                    case CALL_CLOSE: want = ERR_READ; break; // after a good decode: both freed
                    default: break;
                    }
                }
                o.detail = Expect(d.result == want, "result " + std::to_string(d.result));
                if (want == ERR_NONE) o.detail += Expect(o.success, "pixels differ");
                o.detail += Expect(d.info_untouched == info_kept, "info handle variable");
                o.detail += Expect(d.pixels_untouched == pixels_kept, "pixel handle variable");
                o.detail += Expect(!d.progress.empty() == called, "callback");
                return o;
            });
            // The calls each path must make at least once.
            if (call == CALL_BLOCK_ALLOC || call == CALL_BLOCK_LOCK) {
                EXPECT_EQ(uses, 2);
            }
            if (call == CALL_HEAP_ALLOC || call == CALL_CLOSE) {
                EXPECT_GE(uses, 1);
            }
            if (call == CALL_READ) {
                EXPECT_GE(uses, 2);
            }
            if (call == CALL_SEEK) {
                EXPECT_EQ(uses, from_file ? 1 : 0);
            }
        }
    }
    EXPECT_EQ(OpenDescriptors(), fds);
  }
}

// A stop request at each callback: ERR_ABORTED, the blocks freed, and no
// call after the one that asked to stop.
TEST(Faults, StopAtEveryRow) {
    Fixture fx;
    for (int32_t stop = 0; stop <= 8; stop++) {
        for (const bool from_file : {false, true}) {
            const Decoded d = from_file ? DecodeFile(fx.file->path, Fixture::OFFSET, stop)
                                        : DecodeMemory(fx.pic.file, stop);
            EXPECT_EQ(d.result, ERR_ABORTED) << stop;
            EXPECT_EQ(d.progress.size(), static_cast<size_t>(stop) + 1) << stop;
            EXPECT_FALSE(d.info_untouched || d.pixels_untouched) << stop;
        }
    }
}
