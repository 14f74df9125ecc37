// Many threads decoding, probing and reading picture information at once
// must get exactly what one thread gets alone, and for the random pictures
// what the model expects. Built into its own program so that it can run
// under ThreadSanitizer (scripts/fuzz-tsan.sh, label `tsan`); in the other
// builds it runs as an ordinary test. The Windows builds take it into the
// unit tests, without the descriptor probe.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <thread>

#include "support/support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

struct Job {
    Bytes file;
    Bytes model; // the model's pixels; empty when the picture is no random one
    std::unique_ptr<TempFile> on_disk;
    Decoded want;          // one thread alone, from memory
    PictureInfoBlock info; // one thread alone
    int32_t info_result;
    int32_t probe;
};

std::vector<std::unique_ptr<Job>> MakeJobs() {
    std::vector<std::pair<Bytes, Bytes>> files; // file, model pixels
    // Pictures of many shapes; some with several table sets, half of them
    // mostly literals.
    const uint32_t shapes[][2] = {{1, 1},   {2, 9},   {17, 5},   {64, 33},   {200, 120}, {1, 40},
                                  {2, 33},  {5, 17},  {64, 48},  {123, 77},  {300, 90}};
    uint32_t seed = 51;
    for (const auto &s : shapes) {
        RandomStreamOptions options;
        options.run_share = seed % 2 == 0 ? 0.25 : 0.02;
        RandomPicture pic = MakeRandomPicture(seed++, s[0], s[1], options);
        files.emplace_back(pic.file, pic.pixels);
    }
    files.emplace_back(ExamplePicture(), ExamplePixels());
    Bytes damaged = MakeRandomPicture(seed++, 30, 20).file;
    damaged.resize(damaged.size() / 2); // decodes from zero bits, or is refused
    files.emplace_back(damaged, Bytes{});
    Bytes flipped = MakeRandomPicture(seed++, 30, 20).file;
    flipped[40] ^= 0x10;
    files.emplace_back(flipped, Bytes{});
    Bytes refused = ExamplePicture();
    refused[HEADER_DEPTH_AT] = 32;
    files.emplace_back(refused, Bytes{});

    std::vector<std::unique_ptr<Job>> jobs;
    for (auto &[file, model] : files) {
        auto job = std::make_unique<Job>();
        job->file = file;
        job->model = model;
        job->on_disk = std::make_unique<TempFile>(file);
        job->want = DecodeBytes(file);
        memset(&job->info, 0, sizeof job->info);
        job->info_result = InfoFromBytes(file, &job->info);
        job->probe = ProbeBytes(file);
        jobs.push_back(std::move(job));
    }
    return jobs;
}

bool SameDecode(const Decoded &a, const Decoded &b) {
    return a.result == b.result && a.pixels == b.pixels && a.calls == b.calls &&
           memcmp(&a.header, &b.header, sizeof a.header) == 0;
}

} // namespace

TEST(Threads, SameResultsAsOneAtATime) {
    const auto jobs = MakeJobs();
    // One thread alone gets the model's pixels, the size and a yes from
    // the probe for every random picture, and the jobs cover success and
    // failure both.
    size_t decoded = 0;
    for (const auto &j : jobs) {
        decoded += j->want.result == ERR_NONE;
        if (j->model.empty()) continue;
        ASSERT_EQ(j->want.result, ERR_NONE);
        ASSERT_EQ(j->want.pixels, j->model);
        ASSERT_EQ(j->info_result, ERR_NONE);
        ASSERT_EQ(+j->info.width, static_cast<int32_t>(ClaimedWidth(j->file)));
        ASSERT_EQ(j->probe, 1);
    }
    ASSERT_GE(decoded, 12u);
    ASSERT_LT(decoded, jobs.size());

    constexpr int THREADS = 8;
    constexpr int ROUNDS = 6;
#ifndef _WIN32
    constexpr int CHECKS = 7;
#else
    constexpr int CHECKS = 5;
#endif
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
                    bad += !SameDecode(DecodeBytes(f), job.want);
                    bad += !SameDecode(DecodeFile(job.on_disk->path(), 0), job.want);
                    PictureInfoBlock info;
                    memset(&info, 0, sizeof info);
                    bad += InfoFromBytes(f, &info) != job.info_result;
                    bad += memcmp(&info, &job.info, sizeof info) != 0;
                    bad += ProbeBytes(f) != job.probe;
#ifndef _WIN32
                    const int fd = open(job.on_disk->path().c_str(), O_RDONLY);
                    bad += IsSupported(nullptr, static_cast<PxcmRef>(fd)) != job.probe;
                    bad += lseek(fd, 0, SEEK_CUR) != 0;
                    close(fd);
#endif
                    mismatches += bad;
                    checks += CHECKS;
                }
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(checks.load(), THREADS * ROUNDS * static_cast<int>(jobs.size()) * CHECKS);
    EXPECT_EQ(mismatches.load(), 0);
}
