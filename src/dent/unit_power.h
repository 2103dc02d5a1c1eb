#pragma once

// t^p for t in 0 .. 1, computed in double and rounded to float, with SSE2.
// The library's pow is the dent kernel's main cost and cannot be vectorised,
// so t^p is evaluated here as 2^(p log2 t) from short series whose error is
// known (below 2^-41 relative). A rounding to float is accepted only when
// every value within 2^-36 of the estimate rounds the same way; the exact
// power then rounds the same way too, and so does any pow that is accurate to
// a few units in its last place. The rest (about one value in a few thousand)
// and every input outside t in (0, 1], p in (0, FLT_MAX] go to std::pow, so
// each result is the float that float(std::pow(t, p)) gives.
//
// Internal to the core; not part of the exported interface.

#include <emmintrin.h>

#include <cfloat>
#include <cmath>

namespace dent {
namespace unit_power {

#if defined(__GNUC__)
#define DENT_POWER_INLINE inline __attribute__((always_inline))
#else
#define DENT_POWER_INLINE inline
#endif

// Natural logarithm of t in (0, 1] (two lanes, normal doubles), divided by ln 2.
DENT_POWER_INLINE __m128d log2Of(__m128d t) {
    const __m128i bits = _mm_castpd_si128(t);
    const __m128i mantissaMask = _mm_set_epi32(0x000FFFFF, -1, 0x000FFFFF, -1);
    const __m128i oneBits = _mm_set_epi32(0x3FF00000, 0, 0x3FF00000, 0);
    __m128d m = _mm_castsi128_pd(_mm_or_si128(_mm_and_si128(bits, mantissaMask), oneBits));
    const __m128i biased = _mm_srli_epi64(bits, 52);
    __m128d e = _mm_sub_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(biased, _MM_SHUFFLE(3, 1, 2, 0))),
                           _mm_set1_pd(1023.0));
    // m in [sqrt(1/2), sqrt(2)) keeps the series argument below 0.1716.
    const __m128d high = _mm_cmpgt_pd(m, _mm_set1_pd(1.4142135623730951));
    m = _mm_or_pd(_mm_and_pd(high, _mm_mul_pd(m, _mm_set1_pd(0.5))), _mm_andnot_pd(high, m));
    e = _mm_add_pd(e, _mm_and_pd(high, _mm_set1_pd(1.0)));

    // ln m = 2 atanh(u) = 2u (1 + w/3 + w^2/5 + ...), u = (m-1)/(m+1), w = u^2.
    // m - 1 and m + 1 are exact (m has a float's 24 bits), so the relative
    // error holds near m = 1 too; terms up to w^8 leave a remainder < 2^-49.
    const __m128d u = _mm_div_pd(_mm_sub_pd(m, _mm_set1_pd(1.0)), _mm_add_pd(m, _mm_set1_pd(1.0)));
    const __m128d w = _mm_mul_pd(u, u);
    __m128d series = _mm_set1_pd(1.0 / 17);
    const double odd[] = {1.0 / 15, 1.0 / 13, 1.0 / 11, 1.0 / 9, 1.0 / 7, 1.0 / 5, 1.0 / 3};
    for (double c : odd)
        series = _mm_add_pd(_mm_mul_pd(series, w), _mm_set1_pd(c));
    const __m128d lnM =
        _mm_mul_pd(_mm_add_pd(u, _mm_mul_pd(u, _mm_mul_pd(w, series))), _mm_set1_pd(2.0));
    return _mm_add_pd(e, _mm_mul_pd(lnM, _mm_set1_pd(1.4426950408889634))); // 1 / ln 2
}

// 2^z for z <= 0 (two lanes); below -170 the result is 2^-170, which rounds
// to a float 0 just as the exact value does.
DENT_POWER_INLINE __m128d exp2Of(__m128d z) {
    z = _mm_max_pd(z, _mm_set1_pd(-170.0));
    // n = ceil(z - 0.5) by truncation, whatever the rounding mode: r = z - n
    // lies in (-0.5, 0.5] and is exact.
    const __m128i n = _mm_cvttpd_epi32(_mm_sub_pd(z, _mm_set1_pd(0.5)));
    const __m128d r = _mm_sub_pd(z, _mm_cvtepi32_pd(n));
    const __m128d x = _mm_mul_pd(r, _mm_set1_pd(0.6931471805599453)); // |x| < 0.347
    // e^x to x^12 / 12!: the remainder is below 2^-51.
    const double inverseFactorial[] = {1.0 / 479001600,
                                       1.0 / 39916800,
                                       1.0 / 3628800,
                                       1.0 / 362880,
                                       1.0 / 40320,
                                       1.0 / 5040,
                                       1.0 / 720,
                                       1.0 / 120,
                                       1.0 / 24,
                                       1.0 / 6,
                                       0.5,
                                       1.0,
                                       1.0};
    __m128d series = _mm_set1_pd(inverseFactorial[0]);
    for (int k = 1; k < 13; ++k)
        series = _mm_add_pd(_mm_mul_pd(series, x), _mm_set1_pd(inverseFactorial[k]));
    // 2^n from its exponent bits; n >= -170 keeps it a normal double.
    const __m128i biased = _mm_add_epi32(n, _mm_set1_epi32(1023));
    const __m128i scale = _mm_slli_epi64(_mm_unpacklo_epi32(biased, _mm_setzero_si128()), 52);
    return _mm_mul_pd(series, _mm_castsi128_pd(scale));
}

// Floats of two estimates in the low lanes; `certain` gets bit k set when lane
// k rounds the same way anywhere within the estimate's error margin.
DENT_POWER_INLINE __m128 roundToFloat(__m128d estimate, int& certain) {
    const double margin = 1.0 / 68719476736.0; // 2^-36
    const __m128 value = _mm_cvtpd_ps(estimate);
    const __m128 low = _mm_cvtpd_ps(_mm_mul_pd(estimate, _mm_set1_pd(1.0 - margin)));
    const __m128 high = _mm_cvtpd_ps(_mm_mul_pd(estimate, _mm_set1_pd(1.0 + margin)));
    certain = _mm_movemask_ps(_mm_cmpeq_ps(low, high)) & 3;
    return value;
}

DENT_POWER_INLINE bool exponentInRange(float p) {
    return p > 0.0f && p <= FLT_MAX;
}

DENT_POWER_INLINE float libraryPower(float t, float p) {
    return static_cast<float>(std::pow(static_cast<double>(t), static_cast<double>(p)));
}

// float(t^p) for one value.
DENT_POWER_INLINE float power(float t, float p) {
    if (!(t > 0.0f && t <= 1.0f) || !exponentInRange(p)) return libraryPower(t, p);
    const __m128d z = _mm_mul_pd(log2Of(_mm_set1_pd(t)), _mm_set1_pd(p));
    int certain = 0;
    const float value = _mm_cvtss_f32(roundToFloat(exp2Of(z), certain));
    return (certain & 1) ? value : libraryPower(t, p);
}

// float(t^p) for four values and one exponent.
DENT_POWER_INLINE __m128 power4(__m128 t, float p) {
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 inRange = _mm_and_ps(_mm_cmpgt_ps(t, _mm_setzero_ps()), _mm_cmple_ps(t, one));
    int certain = 0;
    __m128 value = one;
    if (exponentInRange(p)) {
        // Lanes out of range compute 1^p and are redone below.
        const __m128 safe = _mm_or_ps(_mm_and_ps(inRange, t), _mm_andnot_ps(inRange, one));
        const __m128d pd = _mm_set1_pd(p);
        int low = 0, high = 0;
        const __m128 lowPair =
            roundToFloat(exp2Of(_mm_mul_pd(log2Of(_mm_cvtps_pd(safe)), pd)), low);
        const __m128 highPair = roundToFloat(
            exp2Of(_mm_mul_pd(log2Of(_mm_cvtps_pd(_mm_movehl_ps(safe, safe))), pd)), high);
        value = _mm_movelh_ps(lowPair, highPair);
        certain = (low | high << 2) & _mm_movemask_ps(inRange);
    }
    if (certain == 15) return value;
    alignas(16) float out[4], in[4];
    _mm_store_ps(out, value);
    _mm_store_ps(in, t);
    for (int k = 0; k < 4; ++k)
        if (!(certain >> k & 1)) out[k] = libraryPower(in[k], p);
    return _mm_load_ps(out);
}

} // namespace unit_power
} // namespace dent
