// The encoder's small vector helpers: the offset list's order, a
// position's literal costs in that order (moved along with it and searched
// for the cheapest) and a position's run marks. In SSE2 registers where
// there are any, plain loops otherwise; both give the same results.
#ifndef PXCM_ENCODER_LANES_H
#define PXCM_ENCODER_LANES_H

#include <math.h>
#include <stdint.h>

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/format.h"

constexpr int32_t NOFFSET = static_cast<int32_t>(OFFSET_SYMBOLS);

// The move-to-front list as offset indices, list position first. A whole
// vector register wide, so that it is copied and reordered in one piece;
// the bytes past NOFFSET are unused.
struct alignas(16) OffsetOrder {
    uint8_t at[16];
};

inline void StartOrder(OffsetOrder *o) {
    for (int32_t i = 0; i < 16; i++) o->at[i] = static_cast<uint8_t>(i);
}

// In one vector register where there is one: the first w + 1 bytes move up
// by one, the chosen one goes first.
inline void MoveToFront(OffsetOrder *o, int32_t w) {
#if defined(__SSE2__)
    const __m128i list = _mm_load_si128(reinterpret_cast<const __m128i *>(o->at));
    const __m128i moved = _mm_cmplt_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                         _mm_set1_epi8(static_cast<char>(w + 1)));
    const __m128i shifted = _mm_slli_si128(list, 1);
    const __m128i out = _mm_or_si128(_mm_or_si128(_mm_and_si128(moved, shifted), _mm_andnot_si128(moved, list)),
                                     _mm_cvtsi32_si128(o->at[w]));
    _mm_store_si128(reinterpret_cast<__m128i *>(o->at), out);
#else
    const uint8_t chosen = o->at[w];
    for (int32_t i = w; i > 0; i--) o->at[i] = o->at[i - 1];
    o->at[0] = chosen;
#endif
}

// Lanes of the per-offset costs of one position: three vectors of four.
constexpr int32_t LANES = 12;
static_assert(NOFFSET == LANES - 1, "the offsets fill three vectors of four but the last lane, which the minimum search names one by one");

constexpr uint16_t FULL_RUN = uint16_t{1} << 15; // some offset runs as far as a token can go

// The run marks of a position from its offsets' longest runs (0 where
// none; NOFFSET of them, but 16 bytes are read): bit k set where offset k
// has a run, FULL_RUN where one runs to cap, the longest run a token can
// make there.
inline uint16_t RunBits(const uint8_t *run, int32_t cap) {
#if defined(__SSE2__)
    constexpr uint32_t OFFSET_BITS = (1u << NOFFSET) - 1;
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(run));
    const uint32_t some = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(r, _mm_setzero_si128()))) & OFFSET_BITS;
    const uint32_t full = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(r, _mm_set1_epi8(static_cast<char>(cap))))) & OFFSET_BITS;
#else
    uint32_t some = 0, full = 0;
    for (int32_t k = 0; k < NOFFSET; k++) {
        some |= run[k] != 0 ? 1u << k : 0;
        full |= run[k] == cap ? 1u << k : 0;
    }
#endif
    return static_cast<uint16_t>(some | (full != 0 ? FULL_RUN : 0));
}

// A position's literal costs by list position, in LANES lanes; the last
// lane, past the offsets, 0.
struct ListCosts {
#if defined(__SSE2__)
    __m128 v[LANES / 4];
#else
    float f[LANES];
#endif
};

// A ListCosts from its lanes and back.
inline ListCosts LoadCosts(const float *lanes) {
#if defined(__SSE2__)
    return ListCosts{{_mm_loadu_ps(lanes), _mm_loadu_ps(lanes + 4), _mm_loadu_ps(lanes + 8)}};
#else
    ListCosts l;
    for (int32_t i = 0; i < LANES; i++) l.f[i] = lanes[i];
    return l;
#endif
}

inline void StoreCosts(const ListCosts &l, float *lanes) {
#if defined(__SSE2__)
    for (int32_t j = 0; j < LANES / 4; j++) _mm_storeu_ps(lanes + 4 * j, l.v[j]);
#else
    for (int32_t i = 0; i < LANES; i++) lanes[i] = l.f[i];
#endif
}

// The lanes 1 to w of a position's ListCosts, which MovedCosts fills from
// the lane below: all bits set.
struct ShiftedLanes {
    alignas(16) uint32_t at[LANES][LANES];
    constexpr ShiftedLanes() : at() {
        for (int32_t w = 0; w < LANES; w++)
            for (int32_t i = 1; i <= w; i++) at[w][i] = ~0u;
    }
};
constexpr ShiftedLanes SHIFTED_LANES;

// The costs l gathered in some list order, rearranged for that order with
// list position w moved to the front (as MoveToFront moves it): the same
// costs gathered in the new order, from a gathering that could start
// before w was known.
inline ListCosts MovedCosts(const ListCosts &l, int32_t w) {
#if defined(__SSE2__)
    alignas(16) float lanes[LANES];
    StoreCosts(l, lanes);
    // Every lane from the one below it: the last lane of each vector goes
    // on into the first of the next.
    const __m128 s0 = _mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(l.v[0]), 4));
    const __m128 t1 = _mm_shuffle_ps(l.v[0], l.v[1], _MM_SHUFFLE(0, 0, 3, 3));
    const __m128 s1 = _mm_shuffle_ps(t1, l.v[1], _MM_SHUFFLE(2, 1, 2, 0));
    const __m128 t2 = _mm_shuffle_ps(l.v[1], l.v[2], _MM_SHUFFLE(0, 0, 3, 3));
    const __m128 s2 = _mm_shuffle_ps(t2, l.v[2], _MM_SHUFFLE(2, 1, 2, 0));
    const __m128 shifted[LANES / 4] = {s0, s1, s2};
    ListCosts out;
    for (int32_t j = 0; j < LANES / 4; j++) {
        const __m128 m = _mm_castsi128_ps(_mm_load_si128(reinterpret_cast<const __m128i *>(SHIFTED_LANES.at[w] + 4 * j)));
        out.v[j] = _mm_or_ps(_mm_and_ps(m, shifted[j]), _mm_andnot_ps(m, l.v[j]));
    }
    out.v[0] = _mm_move_ss(out.v[0], _mm_set_ss(lanes[w]));
    return out;
#else
    ListCosts out = l;
    for (int32_t i = w; i > 0; i--) out.f[i] = l.f[i - 1];
    out.f[0] = l.f[w];
    return out;
#endif
}

// The cheapest literal of a position, earlier list positions first on ties:
// the list position, and base[i] + literal lane i there. base holds LANES
// entries, the last one infinite.
inline int32_t CheapestLiteral(const float *base, const ListCosts &literal, float *best) {
#if defined(__SSE2__)
    const __m128 c0 = _mm_add_ps(_mm_load_ps(base), literal.v[0]);
    const __m128 c1 = _mm_add_ps(_mm_load_ps(base + 4), literal.v[1]);
    const __m128 c2 = _mm_add_ps(_mm_load_ps(base + 8), literal.v[2]);
    // The minimum, then the first lane that holds it.
    __m128 m = _mm_min_ps(_mm_min_ps(c0, c1), c2);
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    *best = _mm_cvtss_f32(m);
    const uint32_t lanes = static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpeq_ps(c0, m))) |
                           static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpeq_ps(c1, m))) << 4 |
                           static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpeq_ps(c2, m))) << 8;
    return std::countr_zero(lanes);
#else
    float cheapest = INFINITY;
    int32_t cheapest_at = 0;
    for (int32_t i = 0; i < NOFFSET; i++) {
        const float cost = base[i] + literal.f[i];
        cheapest_at = cost < cheapest ? i : cheapest_at;
        cheapest = cost < cheapest ? cost : cheapest;
    }
    *best = cheapest;
    return cheapest_at;
#endif
}

#endif
