// The encoder's vector helpers against plain loops: the list order moved
// to the front, literal costs moved along with it, the cheapest literal
// with its tie rule, and a position's run marks.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>

#include "encoder/lanes.h"

namespace {

// Move-to-front as the decoder does it, on a plain array.
void PlainMoveToFront(uint8_t *at, int32_t w) {
    const uint8_t chosen = at[w];
    for (int32_t i = w; i > 0; i--) at[i] = at[i - 1];
    at[0] = chosen;
}

OffsetOrder RandomOrder(std::mt19937 *rng) {
    OffsetOrder o;
    StartOrder(&o);
    std::shuffle(o.at, o.at + NOFFSET, *rng);
    return o;
}

// Costs by offset as the parsers see them: a few values, so that ties are
// common, and now and then an illegal reference.
void RandomCosts(std::mt19937 *rng, float *cost) {
    for (int32_t k = 0; k < NOFFSET; k++) cost[k] = (*rng)() % 8 == 0 ? INFINITY : 0.5f * static_cast<float>((*rng)() % 12);
}

// The costs in list order, the lane past the offsets 0.
void Listed(const float *cost, const OffsetOrder &o, float *lanes) {
    for (int32_t i = 0; i < NOFFSET; i++) lanes[i] = cost[o.at[i]];
    lanes[NOFFSET] = 0;
}

} // namespace

TEST(EncoderLanes, CostsMoveWithTheList) {
    std::mt19937 rng(5);
    for (int32_t round = 0; round < 300; round++) {
        const OffsetOrder before = RandomOrder(&rng);
        float cost[NOFFSET];
        RandomCosts(&rng, cost);
        float lanes[LANES];
        Listed(cost, before, lanes);
        for (int32_t w = 0; w < NOFFSET; w++) {
            SCOPED_TRACE(w);
            OffsetOrder after = before;
            MoveToFront(&after, w);
            uint8_t plain[16];
            memcpy(plain, before.at, 16);
            PlainMoveToFront(plain, w);
            ASSERT_EQ(memcmp(after.at, plain, NOFFSET), 0);
            float want[LANES], got[LANES];
            Listed(cost, after, want);
            StoreCosts(MovedCosts(LoadCosts(lanes), w), got);
            for (int32_t i = 0; i < LANES; i++) ASSERT_EQ(got[i], want[i]) << "lane " << i;
        }
    }
}

TEST(EncoderLanes, CheapestLiteralTakesTheFirstOfEqualCosts) {
    std::mt19937 rng(6);
    for (int32_t round = 0; round < 2000; round++) {
        float cost[NOFFSET];
        RandomCosts(&rng, cost);
        float lanes[LANES];
        Listed(cost, RandomOrder(&rng), lanes);
        alignas(16) float base[LANES];
        const float here = round % 3 == 0 ? 0.0f : 0.25f * static_cast<float>(rng() % 4000);
        for (int32_t i = 0; i < NOFFSET; i++) base[i] = here + 0.5f * static_cast<float>(rng() % 6);
        base[NOFFSET] = INFINITY;
        float want = INFINITY;
        int32_t want_at = 0;
        for (int32_t i = 0; i < NOFFSET; i++) {
            const float c = base[i] + lanes[i];
            if (c < want) want = c, want_at = i;
        }
        float best = 0;
        ASSERT_EQ(CheapestLiteral(base, LoadCosts(lanes), &best), want_at) << "round " << round;
        ASSERT_EQ(best, want);
    }
}

TEST(EncoderLanes, RunBitsMarkEveryRunAndTheFullOnes) {
    std::mt19937 rng(7);
    for (int32_t round = 0; round < 2000; round++) {
        const int32_t cap = 1 + static_cast<int32_t>(rng() % 127);
        uint8_t run[16];
        for (int32_t k = 0; k < NOFFSET; k++) {
            const uint32_t r = rng() % 4;
            run[k] = r == 0 || cap < 2 ? 0 : r == 1 ? static_cast<uint8_t>(cap) : static_cast<uint8_t>(2 + rng() % (cap - 1));
        }
        // The bytes past the offsets are not theirs and must not count.
        for (int32_t k = NOFFSET; k < 16; k++) run[k] = static_cast<uint8_t>(rng() % 2 == 0 ? cap : rng());
        uint32_t want = 0;
        bool full = false;
        for (int32_t k = 0; k < NOFFSET; k++) {
            if (run[k] != 0) want |= 1u << k;
            full = full || run[k] == cap;
        }
        if (full) want |= FULL_RUN;
        ASSERT_EQ(RunBits(run, cap), want) << "round " << round << ", cap " << cap;
    }
}
