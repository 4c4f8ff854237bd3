// Built once per vectorised target by Highway (each pass re-includes this
// file), then once more for the plain path and the dispatch. Built without
// floating-point contraction: a fused multiply-add rounds once where a
// multiply and an add round twice, and the targets must agree to the byte.
#include "writer/picture/picture_rows.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "writer/picture/picture_rows.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qel {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// Pixels are taken two vectors of floats at a time: the even pixels of a
// block in one, the odd in the other, as the 16-bit samples' halves of 32-bit
// lanes. No lane crosses a block, and pixel pairs (halved chroma) are a lane
// each.
template <int CHANNELS, bool WIDE, bool HALF>
void ConvertRowsAs(const RowJob& job) {
    const hn::ScalableTag<float> df;
    const hn::RebindToSigned<decltype(df)> di;
    const hn::RebindToUnsigned<decltype(df)> du;
    const hn::Repartition<uint16_t, decltype(df)> d16;
    const hn::RebindToSigned<decltype(d16)> di16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::Rebind<uint16_t, decltype(di)> dhalf16;
    const hn::Rebind<uint8_t, decltype(di)> dhalf8;
    using VF = hn::Vec<decltype(df)>;
    using VI = hn::Vec<decltype(di)>;
    using VU = hn::Vec<decltype(du)>;
    using V16 = hn::Vec<decltype(d16)>;

    const RowCoefficients& k = *job.k;
    const int rows = job.rows[1] ? 2 : 1;
    const int block = int(hn::Lanes(d16));
    const VU low = hn::Set(du, 0xFFFFu);
    const VI zero = hn::Zero(di), maximum = hn::Set(di, k.maximum);

    const auto settle = [&](VF value) { return hn::Min(hn::Max(hn::ConvertTo(di, value), zero), maximum); };
    const auto weigh = [&](const float* c, float offset, VF r, VF g, VF b) {
        return settle(hn::Add(hn::Add(hn::Add(hn::Mul(r, hn::Set(df, c[0])), hn::Mul(g, hn::Set(df, c[1]))),
                                      hn::Mul(b, hn::Set(df, c[2]))),
                              hn::Set(df, offset)));
    };
    const auto real = [&](VU v) { return hn::ConvertTo(df, hn::BitCast(di, v)); };
    // Even and odd pixels' samples back into one row of samples.
    const auto store_pairs = [&](VI even, VI odd, uint8_t* row, int x) {
        const V16 both = hn::BitCast(d16, hn::Or(hn::BitCast(du, even), hn::ShiftLeft<16>(hn::BitCast(du, odd))));
        if constexpr (WIDE)
            hn::StoreU(both, d16, reinterpret_cast<uint16_t*>(row) + x);
        else
            hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, both)), d8, row + x);
    };
    const auto store_half = [&](VI samples, uint8_t* row, int x) {
        if constexpr (WIDE)
            hn::StoreU(hn::DemoteTo(dhalf16, samples), dhalf16, reinterpret_cast<uint16_t*>(row) + x);
        else
            hn::StoreU(hn::DemoteTo(dhalf8, samples), dhalf8, row + x);
    };

    int x = 0;
    for (; x + block <= job.width; x += block) {
        // Chroma sums: of pixel pairs with halved chroma, else of even and odd pixels apart.
        VU sums[2][3] = {{hn::Zero(du), hn::Zero(du), hn::Zero(du)}, {hn::Zero(du), hn::Zero(du), hn::Zero(du)}};
        for (int r = 0; r < rows; ++r) {
            V16 red, green, blue, alpha;
            const uint16_t* source = job.rows[r] + size_t(x) * CHANNELS;
            if constexpr (CHANNELS == 4)
                hn::LoadInterleaved4(d16, source, red, green, blue, alpha);
            else
                hn::LoadInterleaved3(d16, source, red, green, blue);
            const VU even[3] = {hn::And(hn::BitCast(du, red), low), hn::And(hn::BitCast(du, green), low),
                                hn::And(hn::BitCast(du, blue), low)};
            const VU odd[3] = {hn::ShiftRight<16>(hn::BitCast(du, red)), hn::ShiftRight<16>(hn::BitCast(du, green)),
                               hn::ShiftRight<16>(hn::BitCast(du, blue))};
            store_pairs(weigh(k.y, k.yOffset, real(even[0]), real(even[1]), real(even[2])),
                        weigh(k.y, k.yOffset, real(odd[0]), real(odd[1]), real(odd[2])), job.luma[r], x);
            if (job.alpha[r]) {
                if constexpr (CHANNELS == 4) {
                    const VF scale = hn::Set(df, k.a), offset = hn::Set(df, k.aOffset);
                    const VU a = hn::BitCast(du, alpha);
                    store_pairs(settle(hn::Add(hn::Mul(real(hn::And(a, low)), scale), offset)),
                                settle(hn::Add(hn::Mul(real(hn::ShiftRight<16>(a)), scale), offset)), job.alpha[r], x);
                } else {
                    store_pairs(maximum, maximum, job.alpha[r], x);
                }
            }
            for (int c = 0; c < 3; ++c) {
                if constexpr (HALF) {
                    sums[0][c] = hn::Add(sums[0][c], hn::Add(even[c], odd[c]));
                } else {
                    sums[0][c] = hn::Add(sums[0][c], even[c]);
                    sums[1][c] = hn::Add(sums[1][c], odd[c]);
                }
            }
        }
        const int covered = (HALF ? 2 : 1) * rows;
        const float* cb = k.cb[covered - 1];
        const float* cr = k.cr[covered - 1];
        if constexpr (HALF) {
            const VF r = real(sums[0][0]), g = real(sums[0][1]), b = real(sums[0][2]);
            store_half(weigh(cb, k.cOffset, r, g, b), job.cb, x / 2);
            store_half(weigh(cr, k.cOffset, r, g, b), job.cr, x / 2);
        } else {
            const VF re = real(sums[0][0]), ge = real(sums[0][1]), be = real(sums[0][2]);
            const VF ro = real(sums[1][0]), go = real(sums[1][1]), bo = real(sums[1][2]);
            store_pairs(weigh(cb, k.cOffset, re, ge, be), weigh(cb, k.cOffset, ro, go, bo), job.cb, x);
            store_pairs(weigh(cr, k.cOffset, re, ge, be), weigh(cr, k.cOffset, ro, go, bo), job.cr, x);
        }
    }
    if (x < job.width) convert_rows_plain(job, x);
}
#endif

// The target that ran, so a test can tell that it got the one it asked for.
int64_t ConvertRows(const RowJob& job) {
#if HWY_TARGET == HWY_SCALAR
    // Vectors of one lane hold no pixel pairs: here the plain path is the target.
    convert_rows_plain(job);
#else
    using Form = void (*)(const RowJob&);
    static constexpr Form forms[2][2][2] = {
        {{ConvertRowsAs<3, false, false>, ConvertRowsAs<3, false, true>},
         {ConvertRowsAs<3, true, false>, ConvertRowsAs<3, true, true>}},
        {{ConvertRowsAs<4, false, false>, ConvertRowsAs<4, false, true>},
         {ConvertRowsAs<4, true, false>, ConvertRowsAs<4, true, true>}},
    };
    forms[job.channels == 4][job.wide][job.halfWidth](job);
#endif
    return HWY_TARGET;
}

}  // namespace HWY_NAMESPACE
}  // namespace qel
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qel {

namespace {

int32_t settle(float value, int32_t maximum) {
    const auto sample = int32_t(value);
    return sample < 0 ? 0 : sample > maximum ? maximum : sample;
}

template <bool WIDE>
void put(uint8_t* row, int x, int32_t sample) {
    if constexpr (WIDE)
        reinterpret_cast<uint16_t*>(row)[x] = uint16_t(sample);
    else
        row[x] = uint8_t(sample);
}

float weigh(const float* c, float offset, float r, float g, float b) {
    return ((r * c[0] + g * c[1]) + b * c[2]) + offset;
}

template <bool WIDE>
void convert_plain(const RowJob& job, int from) {
    const RowCoefficients& k = *job.k;
    const int rows = job.rows[1] ? 2 : 1, channels = job.channels;
    for (int r = 0; r < rows; ++r)
        for (int x = from; x < job.width; ++x) {
            const uint16_t* pixel = job.rows[r] + size_t(x) * size_t(channels);
            put<WIDE>(job.luma[r], x,
                      settle(weigh(k.y, k.yOffset, float(pixel[0]), float(pixel[1]), float(pixel[2])), k.maximum));
            if (job.alpha[r])
                put<WIDE>(job.alpha[r], x,
                          channels == 4 ? settle(float(pixel[3]) * k.a + k.aOffset, k.maximum) : k.maximum);
        }
    const int step = job.halfWidth ? 2 : 1;
    for (int x = from; x < job.width; x += step) {
        int32_t sums[3] = {};
        int covered = 0;
        for (int r = 0; r < rows; ++r)
            for (int i = x; i < x + step && i < job.width; ++i, ++covered)
                for (int c = 0; c < 3; ++c) sums[c] += job.rows[r][size_t(i) * size_t(channels) + size_t(c)];
        const float red = float(sums[0]), green = float(sums[1]), blue = float(sums[2]);
        put<WIDE>(job.cb, x / step, settle(weigh(k.cb[covered - 1], k.cOffset, red, green, blue), k.maximum));
        put<WIDE>(job.cr, x / step, settle(weigh(k.cr[covered - 1], k.cOffset, red, green, blue), k.maximum));
    }
}

}  // namespace

HWY_EXPORT(ConvertRows);

void convert_rows_plain(const RowJob& job, int from) {
    if (job.wide)
        convert_plain<true>(job, from);
    else
        convert_plain<false>(job, from);
}

void convert_rows(const RowJob& job) { HWY_DYNAMIC_DISPATCH(ConvertRows)(job); }

std::vector<int64_t> conversion_targets() { return hwy::SupportedAndGeneratedTargets(); }

const char* conversion_target_name(int64_t target) { return hwy::TargetName(target); }

bool convert_rows_on(int64_t target, const RowJob& job) {
    hwy::SetSupportedTargetsForTest(target);
    const int64_t ran = HWY_DYNAMIC_DISPATCH(ConvertRows)(job);
    hwy::SetSupportedTargetsForTest(0);
    return ran == target;
}

}  // namespace qel
#endif  // HWY_ONCE
