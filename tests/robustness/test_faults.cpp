// Platform failures and stop requests: for every platform call in every
// export, from every kind of source, the k-th call fails for k = 1, 2, ...
// until the export succeeds. The result must be the one of the failure
// tables, the host's handle variables and records must be left as the
// interface promises, and nothing may leak: blocks are checked by
// LeakSanitizer in the sanitizer builds, descriptors (POSIX) by counting
// /proc/self/fd.
//
// Built into the robustness group on POSIX and into the unit tests on
// Windows, where the descriptor cases are left out.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "entropy/bitreader.h"
#include "support/support.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char *const CALL_NAMES[CALL_COUNT] = {
    "open file",   "open memory", "seek",       "read",      "get info",    "close",
    "block alloc", "block lock",  "heap alloc", "file read", "file rewind",
};

#ifndef _WIN32
int OpenDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) n++;
        closedir(d);
    }
    return n;
}
#endif

struct Outcome {
    bool success = false;
    std::string detail; // what was wrong, empty when as expected
    int uses = 0;       // calls of the swept kind the export made
};

std::string Expect(bool ok, const std::string &message) { return ok ? "" : message + "; "; }

// Runs `run` with `call` failing at its k-th use, k = 1, 2, ... one past
// the calls a clean run makes. `run(k)` judges its own outcome, k being
// the failing call or 0 when none fails. After the k-th call failed, the
// export makes no further call of that kind. Returns the calls of that
// kind of a clean run.
int Sweep(const std::string &what, PlatformCall call, const std::function<Outcome(int k)> &run) {
    SCOPED_TRACE(what + ", failing " + CALL_NAMES[call]);
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
        if (k <= uses) {
            EXPECT_EQ(o.uses, k) << "k = " << k << ": calls after the failed one";
        } else {
            EXPECT_TRUE(o.success) << "k = " << k << " is past the last call";
        }
    }
    return uses;
}

// A picture, and the same bytes in a file behind some junk.
struct Fixture {
    static constexpr PxcmLong OFFSET = 5;
    RandomPicture pic;
    Bytes file_bytes;
    std::unique_ptr<TempFile> file;

    explicit Fixture(uint32_t width = 12, uint32_t height = 8, RandomStreamOptions options = {}, uint32_t seed = 41)
        : pic(MakeRandomPicture(seed, width, height, options)) {
        file_bytes.assign(OFFSET + pic.file.size(), 0x5A);
        std::copy(pic.file.begin(), pic.file.end(), file_bytes.begin() + OFFSET);
        file = std::make_unique<TempFile>(file_bytes);
    }
    Decoded Decode(bool from_file, int32_t stop_at = NEVER_STOP) const {
        return from_file ? DecodeFile(file->path(), OFFSET, stop_at) : DecodeBytes(pic.file, stop_at);
    }
};

RandomStreamOptions Options(double run_share, double escape_share = 0.08) {
    RandomStreamOptions o;
    o.run_share = run_share;
    o.escape_share = escape_share;
    return o;
}

} // namespace

// ---------------------------------------------------------------- IsSupported

// Through a pointer (and on POSIX through a descriptor): any failure
// answers 0, except that a failed close changes nothing. A failed open
// leaves nothing to close, anything later closes the probe again. The
// descriptor's position is restored unless restoring it is what failed.
TEST(Faults, IsSupportedEveryCall) {
    Fixture fx;
    const Bytes head = ProbeHead(fx.pic.file);
#ifndef _WIN32
    const int fds = OpenDescriptors();
    const int fd = open(fx.file->path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
#endif
    for (int c = 0; c < CALL_COUNT; c++) {
        const auto call = static_cast<PlatformCall>(c);
        const bool opens = call == CALL_OPEN_MEMORY;
        Sweep("IsSupported, pointer", call, [&](int k) {
            Outcome o;
            const int32_t answer = IsSupported("a.pxc", reinterpret_cast<PxcmRef>(head.data()));
            o.uses = FaultsCalls(call);
            o.success = answer == 1;
            o.detail = Expect(answer == (k == 0 || call == CALL_CLOSE ? 1 : 0), "answer " + std::to_string(answer));
            o.detail += Expect(FaultsCalls(CALL_CLOSE) == (k != 0 && opens ? 0 : 1), "closes");
            return o;
        });
#ifndef _WIN32
        Sweep("IsSupported, descriptor", call, [&](int k) {
            Outcome o;
            EXPECT_EQ(lseek(fd, Fixture::OFFSET, SEEK_SET), Fixture::OFFSET);
            const int32_t answer = IsSupported(nullptr, static_cast<PxcmRef>(fd));
            o.uses = FaultsCalls(call);
            o.success = answer == 1;
            o.detail = Expect(answer == (k == 0 || call == CALL_CLOSE ? 1 : 0), "answer " + std::to_string(answer));
            o.detail += Expect(FaultsCalls(CALL_CLOSE) == (k != 0 && opens ? 0 : 1), "closes");
            const off_t at = lseek(fd, 0, SEEK_CUR);
            if (k != 0 && call == CALL_FILE_REWIND) {
                // The head was read and could not be given back.
                o.detail += Expect(at == static_cast<off_t>(fx.file_bytes.size()), "position " + std::to_string(at));
            } else {
                o.detail += Expect(at == Fixture::OFFSET, "position " + std::to_string(at));
            }
            return o;
        });
#endif
    }
#ifndef _WIN32
    close(fd);
    EXPECT_EQ(OpenDescriptors(), fds);
#endif
}

// ---------------------------------------------------------------- GetPictureInfo

// From memory and from a file at an offset: the failure tables' results,
// the record untouched unless only the close failed, and a close for
// everything that was opened.
TEST(Faults, GetPictureInfoEveryCall) {
    Fixture fx;
#ifndef _WIN32
    const int fds = OpenDescriptors();
#endif
    for (int c = 0; c < CALL_COUNT; c++) {
        const auto call = static_cast<PlatformCall>(c);
        for (const bool from_file : {false, true}) {
            Sweep(from_file ? "GetPictureInfo, file" : "GetPictureInfo, memory", call, [&](int k) {
                PictureInfoBlock record = UntouchedRecord();
                Outcome o;
                const int32_t result = from_file ? GetPictureInfo(fx.file->path().c_str(), Fixture::OFFSET,
                                                                  SOURCE_FILE, &record)
                                                 : InfoFromBytes(fx.pic.file, &record);
                o.uses = FaultsCalls(call);
                o.success = result == ERR_NONE;
                const bool filled = record.width == 12 && record.height == 8 && record.depth == 24;
                int32_t want = ERR_NONE;
                bool want_filled = true;
                int closes = 1;
                if (k != 0) {
                    switch (call) {
                    case CALL_OPEN_MEMORY: want = ERR_MEMORY; want_filled = false; closes = 0; break;
                    case CALL_OPEN_FILE: want = ERR_READ; want_filled = false; closes = 0; break;
                    case CALL_SEEK:
                    case CALL_READ: want = ERR_READ; want_filled = false; break;
                    case CALL_CLOSE: want = ERR_READ; break; // the record stays filled
                    default: break;
                    }
                }
                o.detail = Expect(result == want, "result " + std::to_string(result));
                o.detail += Expect(want_filled ? filled : SameRecord(record, UntouchedRecord()), "record");
                o.detail += Expect(FaultsCalls(CALL_CLOSE) == closes, "closes");
                return o;
            });
        }
    }
#ifndef _WIN32
    EXPECT_EQ(OpenDescriptors(), fds);
#endif
}

TEST(Faults, GetPictureInfoRefusalSurvivesAFailedClose) {
    Bytes bad = HeaderBytes(9, 8);
    bad[HEADER_FORMAT_AT + 1] = 1;
    bad.resize(bad.size() + 40, 0x5A);
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    PictureInfoBlock record = UntouchedRecord();
    EXPECT_EQ(InfoFromBytes(bad, &record), ERR_BAD_FORMAT);
    EXPECT_EQ(FaultsCalls(CALL_CLOSE), 1);
    EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
    FaultsReset();
}

// ---------------------------------------------------------------- GetPicture

// From memory and from a file: the result of each failure, what happened
// to the host's handle variables, and whether the callback ran. A small
// picture, one of two table sets and several source chunks, and one of
// mostly literals with many escapes whose file is over 40000 bytes.
TEST(Faults, GetPictureEveryCall) {
    struct Shape {
        uint32_t width, height;
        RandomStreamOptions options;
        uint32_t seed;
    };
    const Shape shapes[] = {{12, 8, Options(0.25), 41}, {240, 160, Options(0.01), 41}, {300, 120, Options(0.01, 0.3), 21}};
    for (const Shape &shape : shapes) {
        const Fixture fx(shape.width, shape.height, shape.options, shape.seed);
        SCOPED_TRACE(std::to_string(shape.width) + "x" + std::to_string(shape.height));
        if (shape.width == 240) {
            ASSERT_GT(fx.pic.file.size(), 2u * READ_CHUNK); // several chunks of the source reader
            ASSERT_GT(fx.pic.tokens, static_cast<uint64_t>(REBUILD_PERIOD)); // two table sets
        }
        if (shape.width == 300) {
            ASSERT_GT(fx.pic.file.size(), 40000u);
        }
#ifndef _WIN32
        const int fds = OpenDescriptors();
#endif
        for (int c = 0; c < CALL_COUNT; c++) {
            const auto call = static_cast<PlatformCall>(c);
            for (const bool from_file : {false, true}) {
                int last_read = 0; // the clean run's read calls, known after it
                const int uses = Sweep(from_file ? "GetPicture, file" : "GetPicture, memory", call, [&](int k) {
                    const Decoded d = fx.Decode(from_file);
                    Outcome o;
                    o.uses = d.platform_calls[call];
                    o.success = d.result == ERR_NONE && d.pixels == fx.pic.pixels;
                    if (k == 0 && call == CALL_READ) last_read = o.uses;
                    int32_t want = ERR_NONE;
                    bool before_blocks = false; // nothing handed out, no callback
                    bool pixels_kept = false;
                    if (k != 0) {
                        switch (call) {
                        case CALL_OPEN_MEMORY: want = ERR_MEMORY; before_blocks = true; break;
                        case CALL_OPEN_FILE:
                        case CALL_SEEK: want = ERR_READ; before_blocks = true; break;
                        case CALL_READ:
                            want = ERR_READ;
                            before_blocks = k == 1; // the header
                            if (k == last_read && d.result == ERR_NONE) {
                                // The last request only finds the end of the
                                // data. Where the decoder already holds every
                                // bit it needs, its failure may go unnoticed,
                                // but then the picture must be whole.
                                want = ERR_NONE;
                            }
                            break;
                        case CALL_BLOCK_ALLOC:
                        case CALL_BLOCK_LOCK:
                            want = call == CALL_BLOCK_ALLOC ? ERR_NO_MEMORY : ERR_MEMORY;
                            pixels_kept = k == 1; // the second variable is not touched
                            break;
                        case CALL_HEAP_ALLOC: want = ERR_NO_MEMORY; break;
                        case CALL_CLOSE: want = ERR_READ; break; // after a good decode: both freed
                        default: break;
                        }
                    }
                    const bool called = k == 0 || call == CALL_CLOSE || call == CALL_READ;
                    o.detail = Expect(d.result == want, "result " + std::to_string(d.result));
                    if (want == ERR_NONE) {
                        o.detail += Expect(o.success, "pixels differ");
                        return o;
                    }
                    if (before_blocks) {
                        o.detail += Expect(d.untouched(), "handle variables written");
                        o.detail += Expect(d.calls.empty(), "callback before the blocks");
                        return o;
                    }
                    o.detail += Expect(d.info_handle == Handle::Cleared, "info handle variable");
                    o.detail += Expect(d.pixels_handle == (pixels_kept ? Handle::Untouched : Handle::Cleared),
                                       "pixel handle variable");
                    if (call == CALL_CLOSE) {
                        o.detail += Expect(d.calls == ProgressOf(shape.height), "not decoded before the close");
                    } else {
                        o.detail += Expect(!d.calls.empty() == called, "callback");
                    }
                    return o;
                });
                // The calls each path makes.
                if (call == CALL_BLOCK_ALLOC || call == CALL_BLOCK_LOCK) {
                    EXPECT_EQ(uses, 2) << CALL_NAMES[call];
                }
                if (call == CALL_HEAP_ALLOC || call == CALL_CLOSE) {
                    EXPECT_EQ(uses, 1) << CALL_NAMES[call];
                }
                if (call == CALL_READ) {
                    EXPECT_GE(uses, shape.width == 12 ? 2 : 3);
                }
                if (call == CALL_SEEK) {
                    EXPECT_EQ(uses, from_file ? 1 : 0);
                }
            }
        }
#ifndef _WIN32
        EXPECT_EQ(OpenDescriptors(), fds);
#endif
    }
}

TEST(Faults, FirstErrorIsKeptWhenTheCloseAlsoFails) {
    const RandomPicture pic = MakeRandomPicture(22, 10, 10);
    const struct {
        PlatformCall call;
        int32_t expected;
    } cases[] = {
        {CALL_HEAP_ALLOC, ERR_NO_MEMORY},
        {CALL_BLOCK_LOCK, ERR_MEMORY},
        {CALL_BLOCK_ALLOC, ERR_NO_MEMORY},
        {CALL_READ, ERR_READ},
    };
    for (const auto &c : cases) {
        FaultsReset();
        FaultsArm(c.call, 1);
        FaultsArm(CALL_CLOSE, 1);
        const Decoded d = DecodeBytes(pic.file);
        EXPECT_EQ(d.result, c.expected) << CALL_NAMES[c.call];
        EXPECT_EQ(d.platform_calls[CALL_CLOSE], 1) << CALL_NAMES[c.call];
    }
    // A cancelled decode stays cancelled.
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    EXPECT_EQ(DecodeBytes(pic.file, 3).result, ERR_ABORTED);
    // A refused header stays refused.
    Bytes bad = pic.file;
    bad[HEADER_DEPTH_AT] = 32;
    FaultsReset();
    FaultsArm(CALL_CLOSE, 1);
    const Decoded d = DecodeBytes(bad);
    EXPECT_EQ(d.result, ERR_BAD_FORMAT);
    EXPECT_EQ(d.info_handle, Handle::Untouched);
    FaultsReset();
}

// 65535 x 65535 pixels would need about 12.9 GB. The size is reported, and
// the pixel block's allocation failing, as an allocator that cannot provide
// it would (so that it is never really requested), ends the call cleanly:
// the information block allocated and freed, nothing decoded.
TEST(Faults, LargestHeaderWithoutAllocatingIt) {
    for (uint8_t tail : {0x00, 0x80}) {
        Bytes huge = HeaderBytes(MAX_SIDE, MAX_SIDE);
        huge.insert(huge.end(), 8, tail);
        PictureInfoBlock record = UntouchedRecord();
        ASSERT_EQ(InfoFromBytes(huge, &record), ERR_NONE);
        EXPECT_EQ(+record.width, 65535);
        EXPECT_EQ(+record.height, 65535);
        EXPECT_EQ(ProbeBytes(huge), 1);

        FaultsReset();
        FaultsArm(CALL_BLOCK_ALLOC, 2);
        const Decoded d = DecodeBytes(huge);
        FaultsReset();
        EXPECT_EQ(d.result, ERR_NO_MEMORY);
        EXPECT_EQ(d.platform_calls[CALL_BLOCK_ALLOC], 2);
        EXPECT_EQ(d.platform_calls[CALL_HEAP_ALLOC], 0);
        EXPECT_TRUE(d.calls.empty());
        EXPECT_TRUE(d.cleared()); // the first freed, the second cleared by the failure
    }
}

// ---------------------------------------------------------------- stop requests

// A stop request at each callback, from memory and from a file:
// ERR_ABORTED, both blocks freed and the variables cleared, no call after
// the one that asked to stop, and a stop at the first callback comes
// before any token is read.
TEST(Faults, StopAtEveryRow) {
    const Fixture fx;
    for (int32_t stop = 0; stop <= static_cast<int32_t>(fx.pic.height); stop++) {
        for (const bool from_file : {false, true}) {
            SCOPED_TRACE(std::string(from_file ? "file" : "memory") + ", stop at " + std::to_string(stop));
            FaultsReset();
            const Decoded d = fx.Decode(from_file, stop);
            EXPECT_EQ(d.result, ERR_ABORTED);
            ASSERT_EQ(d.calls.size(), static_cast<size_t>(stop) + 1);
            EXPECT_EQ(d.calls.back(), std::make_pair(stop, static_cast<int32_t>(fx.pic.height)));
            EXPECT_TRUE(d.cleared());
            if (stop == 0) {
                EXPECT_EQ(d.platform_calls[CALL_READ], 1); // the header only
            }
        }
    }
}

#ifndef _WIN32
// ---------------------------------------------------------------- descriptor probe

namespace {

struct OpenFd {
    explicit OpenFd(const std::string &name) : fd(open(name.c_str(), O_RDONLY)) {}
    ~OpenFd() {
        if (fd >= 0) close(fd);
    }
    int fd;
};

} // namespace

TEST(Faults, DescriptorProbeFailuresAnswerNoAndCloseTheProbe) {
    Bytes picture = HeaderBytes(7, 7);
    picture.resize(picture.size() + 3000, 0x5A);
    TempFile temp(picture);
    OpenFd f(temp.path());
    ASSERT_GE(f.fd, 0);
    const struct {
        PlatformCall call;
        int closes;
        bool position_kept;
    } cases[] = {
        {CALL_OPEN_MEMORY, 0, true}, // nothing opened
        {CALL_GET_INFO, 1, true},    // the probe buffer is closed again
        {CALL_FILE_READ, 1, true},
        {CALL_FILE_REWIND, 1, false}, // read 2048 bytes, could not go back
        {CALL_READ, 1, true},         // the header read from the probe buffer
    };
    for (const auto &c : cases) {
        ASSERT_EQ(lseek(f.fd, 0, SEEK_SET), 0);
        FaultsReset();
        FaultsArm(c.call, 1);
        EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), 0) << CALL_NAMES[c.call];
        EXPECT_EQ(FaultsCalls(c.call), 1) << CALL_NAMES[c.call];
        EXPECT_EQ(FaultsCalls(CALL_CLOSE), c.closes) << CALL_NAMES[c.call];
        if (c.position_kept) {
            EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), 0) << CALL_NAMES[c.call];
        }
    }
    FaultsReset();
    ASSERT_EQ(lseek(f.fd, 0, SEEK_SET), 0);
    EXPECT_EQ(IsSupported("x", static_cast<PxcmRef>(f.fd)), 1);
}
#endif

#ifndef _WIN32
// Opening by name takes regular files only: a FIFO without a writer, a
// folder and a device are refused with ERR_READ at once, and nothing stays
// open. Each call runs on a thread of its own, so that a regression shows
// as a failure here (the FIFO is then opened for writing to release it)
// rather than as a test that never ends.
TEST(Faults, OpenByNameRefusesWhatIsNotARegularFile) {
    TempDir dir("open-by-name");
    const std::string fifo = dir.File("fifo.pxc");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir.File("folder.pxc");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const int fds = OpenDescriptors();
    for (const std::string &name : {fifo, folder, std::string("/dev/zero")}) {
        SCOPED_TRACE(name);
        PictureInfoBlock record = UntouchedRecord();
        auto info = std::async(std::launch::async, [&] { return GetPictureInfo(name.c_str(), 0, SOURCE_FILE, &record); });
        auto picture = std::async(std::launch::async, [&] { return DecodeFile(name, 0).result; });
        for (auto *call : {&info, &picture}) {
            if (call->wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                ADD_FAILURE() << "open by name waits on a node that is not a regular file";
                const int writer = open(name.c_str(), O_WRONLY | O_NONBLOCK);
                call->wait();
                if (writer >= 0) close(writer);
            }
            EXPECT_EQ(call->get(), ERR_READ);
        }
        EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
    }
    EXPECT_EQ(OpenDescriptors(), fds);
    // A regular file beside them still opens.
    const std::string file = dir.File("picture.pxc");
    WriteFileBytes(file, ExamplePicture());
    EXPECT_EQ(DecodeFile(file, 0).result, ERR_NONE);
}
#endif
