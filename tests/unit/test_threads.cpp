// Several pictures decoded at once on several threads, each compared with
// the result of a single-threaded decode and with the model's pixels.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/random_stream.h"
#include "support/streams.h"

namespace {

struct Job {
    RandomPicture picture;
    std::vector<uint8_t> single; // the single-threaded decode
};

} // namespace

TEST(Threads, ConcurrentDecodesMatchTheSingleThreadedResult) {
    // Pictures of different shapes, some with several table sets.
    std::vector<Job> jobs;
    const uint32_t shapes[][2] = {{1, 40}, {2, 33}, {5, 17}, {64, 48}, {123, 77}, {300, 90}};
    uint32_t seed = 500;
    for (const auto &shape : shapes) {
        RandomStreamOptions options;
        options.run_share = seed % 2 == 0 ? 0.25 : 0.02;
        jobs.push_back(Job{MakeRandomPicture(seed++, shape[0], shape[1], options), {}});
    }
    for (Job &job : jobs) {
        const Decoded d = DecodeBytes(job.picture.file);
        ASSERT_EQ(d.result, ERR_NONE);
        ASSERT_EQ(d.pixels, job.picture.pixels);
        job.single = d.pixels;
    }

    // Half of the threads read from files, half from memory; each runs
    // through all pictures from a different starting point, several times,
    // and also asks for the info and probes the header on the way.
    std::vector<std::unique_ptr<TempFile>> files;
    for (const Job &job : jobs) files.push_back(std::make_unique<TempFile>(job.picture.file));
    const int thread_count = 6;
    const int rounds = 8;
    std::atomic<int> failures{0};
    std::atomic<int> decodes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; t++) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < rounds; r++) {
                for (size_t i = 0; i < jobs.size(); i++) {
                    const size_t j = (i + static_cast<size_t>(t)) % jobs.size();
                    const Job &job = jobs[j];
                    const Decoded d = t % 2 == 0 ? DecodeBytes(job.picture.file)
                                                 : DecodeFile(files[j]->name(), 0);
                    if (d.result != ERR_NONE || d.pixels != job.single) failures++;
                    PictureInfoBlock record{};
                    if (GetPictureInfo(reinterpret_cast<const char *>(job.picture.file.data()),
                                       static_cast<PxcmLong>(job.picture.file.size()),
                                       SOURCE_MEMORY, &record) != ERR_NONE ||
                        record.width != static_cast<int32_t>(job.picture.width))
                        failures++;
                    std::vector<uint8_t> head = job.picture.file;
                    head.resize(2048, 0);
                    if (IsSupported("x", reinterpret_cast<PxcmRef>(head.data())) != 1) failures++;
                    decodes++;
                }
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(decodes.load(), thread_count * rounds * static_cast<int>(jobs.size()));
}
