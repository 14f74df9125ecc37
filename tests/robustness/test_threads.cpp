// Many threads decoding, probing and reading picture information at once
// must get exactly what one thread gets alone. Built into its own program
// so that it can run under ThreadSanitizer (scripts/fuzz-tsan.sh, label
// `tsan`); in the other builds it runs as an ordinary test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "robustness/support.h"
#include "support/random_stream.h"

namespace {

struct Job {
    Bytes file;
    std::unique_ptr<TempFile> on_disk;
    Decoded want;          // one thread alone, from memory
    PictureInfoBlock info; // one thread alone
    int32_t info_result;
    int32_t probe;
};

std::vector<std::unique_ptr<Job>> MakeJobs() {
    std::vector<Bytes> files;
    const uint32_t shapes[][2] = {{1, 1}, {2, 9}, {17, 5}, {64, 33}, {200, 120}};
    uint32_t seed = 51;
    for (const auto &s : shapes) files.push_back(MakeRandomPicture(seed++, s[0], s[1]).file);
    files.push_back(ExamplePicture());
    Bytes damaged = MakeRandomPicture(seed++, 30, 20).file;
    damaged.resize(damaged.size() / 2); // decodes from zero bits, or is refused
    files.push_back(damaged);
    Bytes flipped = MakeRandomPicture(seed++, 30, 20).file;
    flipped[40] ^= 0x10;
    files.push_back(flipped);
    Bytes refused = ExamplePicture();
    refused[16] = 32;
    files.push_back(refused);

    std::vector<std::unique_ptr<Job>> jobs;
    for (Bytes &f : files) {
        auto job = std::make_unique<Job>();
        job->file = f;
        job->on_disk = std::make_unique<TempFile>(f);
        job->want = DecodeMemory(f);
        memset(&job->info, 0, sizeof job->info);
        job->info_result = GetPictureInfo(reinterpret_cast<const char *>(f.data()),
                                          static_cast<PxcmLong>(f.size()), SOURCE_MEMORY, &job->info);
        Bytes head(2048, 0);
        memcpy(head.data(), f.data(), std::min<size_t>(f.size(), 2048));
        job->probe = IsSupported(nullptr, reinterpret_cast<PxcmRef>(head.data()));
        jobs.push_back(std::move(job));
    }
    return jobs;
}

bool SameDecode(const Decoded &a, const Decoded &b) {
    return a.result == b.result && a.pixels == b.pixels && a.progress == b.progress &&
           memcmp(&a.header, &b.header, sizeof a.header) == 0;
}

} // namespace

TEST(Threads, SameResultsAsOneAtATime) {
    const auto jobs = MakeJobs();
    // The jobs cover success and failure both.
    size_t decoded = 0;
    for (const auto &j : jobs) decoded += j->want.result == ERR_NONE;
    ASSERT_GT(decoded, 4u);
    ASSERT_LT(decoded, jobs.size());

    constexpr int THREADS = 8;
    constexpr int ROUNDS = 6;
    std::atomic<int> mismatches{0};
    std::atomic<int> checks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < ROUNDS; round++) {
                for (size_t i = 0; i < jobs.size(); i++) {
                    // Each thread takes the jobs in its own order.
                    const Job &job = *jobs[(i + static_cast<size_t>(t) * 3) % jobs.size()];
                    const Bytes &f = job.file;
                    int bad = 0;
                    bad += !SameDecode(DecodeMemory(f), job.want);
                    bad += !SameDecode(DecodeFile(job.on_disk->path, 0), job.want);
                    PictureInfoBlock info;
                    memset(&info, 0, sizeof info);
                    bad += GetPictureInfo(reinterpret_cast<const char *>(f.data()),
                                          static_cast<PxcmLong>(f.size()), SOURCE_MEMORY,
                                          &info) != job.info_result;
                    bad += memcmp(&info, &job.info, sizeof info) != 0;
                    Bytes head(2048, 0);
                    memcpy(head.data(), f.data(), std::min<size_t>(f.size(), 2048));
                    bad += IsSupported(nullptr, reinterpret_cast<PxcmRef>(head.data())) != job.probe;
                    const int fd = open(job.on_disk->path.c_str(), O_RDONLY);
                    bad += IsSupported(nullptr, static_cast<PxcmRef>(fd)) != job.probe;
                    bad += lseek(fd, 0, SEEK_CUR) != 0;
                    close(fd);
                    mismatches += bad;
                    checks += 7;
                }
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(checks.load(), THREADS * ROUNDS * static_cast<int>(jobs.size()) * 7);
    EXPECT_EQ(mismatches.load(), 0);
}
