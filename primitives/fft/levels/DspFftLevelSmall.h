// The fixed kernels of real orders 1 to 3 and complex orders 2 and 3 at the
// processor levels: the formulas of the generic kernels on four-lane
// vectors. Levels 2 and 3 share all but the real order-3 kernels; level 3
// forms the rotations by c of its real order-3 kernels as dot products.
// Every kernel loads its whole input before it stores, so src may be dst.
#pragma once

#include <smmintrin.h>

#include <cstring>

namespace
{
constexpr float kSmallC = 0.70710677f; // cos(pi/4)
constexpr float kSmallR = 1.4142135f;  // sqrt(2)

inline __m128 Neg(__m128 v, int m0, int m1, int m2, int m3)
{
    const __m128 sign = _mm_castsi128_ps(_mm_setr_epi32(m0 << 31, m1 << 31, m2 << 31, m3 << 31));
    return _mm_xor_ps(v, sign);
}
template <bool Scaled> [[gnu::always_inline]] inline __m128 Sc(__m128 v, float s)
{
    return Scaled ? _mm_mul_ps(v, _mm_set1_ps(s)) : v;
}

template <bool Scaled> void SmallROrder1(const float* x, float* y, float s)
{
    // x may be only 4-byte aligned: an 8-byte load with no alignment of its own.
    const __m128 v = _mm_castsi128_ps(_mm_loadu_si64(x));
    const __m128 sd = Sc<Scaled>(_mm_unpacklo_ps(_mm_hadd_ps(v, v), _mm_hsub_ps(v, v)), s);
    _mm_storel_pi(reinterpret_cast<__m64*>(y), sd);
}

template <bool Scaled> void SmallFwdROrder2(const float* x, float* y, float s)
{
    const __m128 v = _mm_loadu_ps(x);
    const __m128 a = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 3, 0)); // x0 x3 x0 x3
    const __m128 b = _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 2, 1, 2)); // x2 x1 x2 x1
    const __m128 t = Sc<Scaled>(_mm_shuffle_ps(_mm_add_ps(a, b), _mm_sub_ps(a, b), 0xE4), s);
    const __m128 head = _mm_unpacklo_ps(_mm_hadd_ps(t, t), _mm_hsub_ps(t, t));
    _mm_storeu_ps(y, _mm_shuffle_ps(head, t, 0xE4));
}

template <bool Scaled> void SmallInvROrder2(const float* x, float* y, float s)
{
    const __m128 v = _mm_loadu_ps(x);
    const __m128 a = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 2, 0, 0));                  // x0 x0 x2 x3
    const __m128 b = Neg(_mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 2, 1, 1)), 0, 0, 1, 0); // x1 x1 -x2 x3
    const __m128 t = Sc<Scaled>(_mm_addsub_ps(a, b), s);                             // d s r2 i2
    const __m128 l = _mm_shuffle_ps(t, t, _MM_SHUFFLE(0, 1, 0, 1));
    const __m128 m = Neg(_mm_shuffle_ps(t, t, _MM_SHUFFLE(3, 2, 3, 2)), 0, 1, 1, 0);
    _mm_storeu_ps(y, _mm_add_ps(l, m));
}

// (u0 + u1) * -k and (u0 - u1) * k in lanes 0 and 1, u0 and u1 taken from
// lanes i and j of v: a sum times a constant, or (Dp) two rounded products
// summed.
template <bool Dp, int I, int J> [[gnu::always_inline]] inline __m128 Rotations(__m128 v, float k)
{
    if constexpr (Dp)
    {
        constexpr int in = (1 << I) | (1 << J);
        alignas(16) float neg[4] = {};
        alignas(16) float mix[4] = {};
        neg[I] = -k;
        neg[J] = -k;
        mix[I] = k;
        mix[J] = -k;
        return _mm_or_ps(_mm_dp_ps(v, _mm_load_ps(neg), (in << 4) | 1),
                         _mm_dp_ps(v, _mm_load_ps(mix), (in << 4) | 2));
    }
    const __m128 w = _mm_shuffle_ps(v, v, _MM_SHUFFLE(I, I, I, I));
    const __m128 z = Neg(_mm_shuffle_ps(v, v, _MM_SHUFFLE(J, J, J, J)), 1, 1, 1, 1);
    return _mm_mul_ps(_mm_addsub_ps(w, z), _mm_setr_ps(-k, k, 0.0f, 0.0f));
}

template <bool Scaled, bool Dp> void SmallFwdROrder3(const float* x, float* y, float s)
{
    const __m128 lo = _mm_loadu_ps(x);
    const __m128 hi = _mm_loadu_ps(x + 4);
    const __m128 sum = Sc<Scaled>(_mm_add_ps(lo, hi), s);                // s04 s15 s26 s37
    const __m128 dif = Sc<Scaled>(_mm_sub_ps(lo, hi), s);                // d04 d15 d26 d37
    const __m128 sa = _mm_shuffle_ps(sum, sum, _MM_SHUFFLE(3, 0, 1, 0)); // s04 s15 s04 s37
    const __m128 sb = _mm_shuffle_ps(sum, sum, _MM_SHUFFLE(1, 2, 3, 2)); // s26 s37 s26 s15
    const __m128 ef = _mm_add_ps(sa, sb);
    const __m128 mid = _mm_sub_ps(sa, sb); // lanes 2, 3: s04 - s26, s37 - s15
    const __m128 gh = Rotations<Dp, 1, 3>(dif, kSmallC);
    const __m128 p = _mm_shuffle_ps(_mm_unpacklo_ps(dif, gh), dif, _MM_SHUFFLE(2, 0, 1, 0));
    const __m128 v = _mm_shuffle_ps(gh, dif, _MM_SHUFFLE(2, 2, 0, 1)); // h g d26 d26
    const __m128 q = Neg(_mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 2, 0)), 1, 1, 0, 0);
    const __m128 r = _mm_addsub_ps(p, q); // out 2, 3, 6, 7
    const __m128 head = _mm_unpacklo_ps(_mm_hadd_ps(ef, ef), _mm_hsub_ps(ef, ef));
    _mm_storeu_ps(y, _mm_movelh_ps(head, r));
    _mm_storeu_ps(y + 4, _mm_shuffle_ps(mid, r, _MM_SHUFFLE(3, 2, 3, 2)));
}

template <bool Scaled, bool Dp> void SmallInvROrder3(const float* x, float* y, float s)
{
    const __m128 lo = _mm_loadu_ps(x);                                // X0 X4 R1 I1
    const __m128 hi = _mm_loadu_ps(x + 4);                            // R2 I2 R3 I3
    const __m128 t = _mm_unpacklo_ps(lo, hi);                         // X0 R2 X4 I2
    const __m128 a1 = _mm_shuffle_ps(t, lo, _MM_SHUFFLE(3, 2, 1, 0)); // X0 R2 R1 I1
    const __m128 a2 = _mm_shuffle_ps(t, hi, _MM_SHUFFLE(3, 2, 1, 2)); // X4 R2 R3 I3
    const __m128 b1 = _mm_shuffle_ps(t, lo, _MM_SHUFFLE(3, 2, 3, 0)); // X0 I2 R1 I1
    const __m128 b2 = Neg(_mm_shuffle_ps(t, hi, _MM_SHUFFLE(3, 2, 3, 2)), 0, 1, 0, 0);
    const __m128 sum = Sc<Scaled>(_mm_add_ps(a1, a2), s); // s04 r2 sr si
    const __m128 dif = Sc<Scaled>(_mm_sub_ps(b1, b2), s); // d04 i2 dr di
    const __m128 ha = _mm_hadd_ps(sum, dif);              // p0 . p3 .
    const __m128 hs = _mm_hsub_ps(sum, dif);              // p1 . p2 .
    const __m128 q = _mm_shuffle_ps(ha, hs, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 l = _mm_shuffle_ps(q, q, _MM_SHUFFLE(1, 2, 3, 0)); // p0 p2 p1 p3
    const __m128 uv2 = _mm_shuffle_ps(sum, dif, _MM_SHUFFLE(3, 3, 2, 2));
    const __m128 uv = _mm_add_ps(uv2, uv2); // u u v v
    const __m128 gh =
        Rotations<Dp, 0, 2>(_mm_shuffle_ps(dif, sum, _MM_SHUFFLE(3, 3, 2, 2)), kSmallR);
    const __m128 a = _mm_shuffle_ps(uv, gh, _MM_SHUFFLE(0, 1, 2, 0)); // u v h g
    const __m128 m = Neg(_mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 1, 2, 0)), 0, 0, 1, 0);
    _mm_storeu_ps(y, _mm_add_ps(l, m));
    _mm_storeu_ps(y + 4, _mm_sub_ps(l, m));
}

// Four complex points p0 .. p3 (two per vector) to their 4-point transform.
template <bool Scaled>
[[gnu::always_inline]] inline void SmallFour(__m128 p01, __m128 p23, float s, __m128* y01,
                                             __m128* y23)
{
    const __m128 sum = Sc<Scaled>(_mm_add_ps(p01, p23), s); // a = p0 + p2, b = p1 + p3
    const __m128 dif = Sc<Scaled>(_mm_sub_ps(p01, p23), s); // c = p0 - p2, d = p1 - p3
    const __m128 y02 =
        _mm_add_ps(_mm_movelh_ps(sum, sum), Neg(_mm_movehl_ps(sum, sum), 0, 0, 1, 1));
    const __m128 dd = Neg(_mm_shuffle_ps(dif, dif, _MM_SHUFFLE(2, 3, 2, 3)), 0, 1, 1, 0);
    const __m128 y13 = _mm_add_ps(_mm_movelh_ps(dif, dif), dd); // c - j d, c + j d
    *y01 = _mm_movelh_ps(y02, y13);
    *y23 = _mm_movehl_ps(y13, y02);
}

template <bool Scaled> void SmallCOrder2(const float* x, float* y, float s)
{
    __m128 y01, y23;
    SmallFour<Scaled>(_mm_loadu_ps(x), _mm_loadu_ps(x + 4), s, &y01, &y23);
    _mm_storeu_ps(y, y01);
    _mm_storeu_ps(y + 4, y23);
}

// The even and odd halves' 4-point transforms joined by W^k = 1, (c, -c),
// -j, (-c, -c).
template <bool Scaled> void SmallCOrder3(const float* x, float* y, float s)
{
    const __m128 v01 = _mm_loadu_ps(x);
    const __m128 v23 = _mm_loadu_ps(x + 4);
    const __m128 v45 = _mm_loadu_ps(x + 8);
    const __m128 v67 = _mm_loadu_ps(x + 12);
    __m128 e01, e23, o01, o23;
    SmallFour<Scaled>(_mm_movelh_ps(v01, v23), _mm_movelh_ps(v45, v67), s, &e01, &e23);
    SmallFour<Scaled>(_mm_movehl_ps(v23, v01), _mm_movehl_ps(v67, v45), s, &o01, &o23);
    const __m128 c = _mm_set1_ps(kSmallC);
    const __m128 m01 = _mm_mul_ps(o01, c); // lanes 2, 3: c o1
    const __m128 m23 = _mm_mul_ps(o23, c); // lanes 2, 3: c o3
    // t1 = (c o1r + c o1i, c o1i - c o1r), t3 = (-c o3r + c o3i, -c o3i - c o3r)
    const __m128 t1 =
        _mm_add_ps(m01, Neg(_mm_shuffle_ps(m01, m01, _MM_SHUFFLE(2, 3, 0, 1)), 0, 0, 0, 1));
    const __m128 t3 = _mm_add_ps(
        Neg(m23, 0, 0, 1, 1), Neg(_mm_shuffle_ps(m23, m23, _MM_SHUFFLE(2, 3, 0, 1)), 0, 0, 0, 1));
    const __m128 t2 = Neg(_mm_shuffle_ps(o23, o23, _MM_SHUFFLE(3, 2, 0, 1)), 0, 1, 0, 0);
    const __m128 t01 = _mm_movelh_ps(o01, _mm_movehl_ps(t1, t1));
    const __m128 t23 = _mm_movelh_ps(t2, _mm_movehl_ps(t3, t3));
    _mm_storeu_ps(y, _mm_add_ps(e01, t01));
    _mm_storeu_ps(y + 4, _mm_add_ps(e23, t23));
    _mm_storeu_ps(y + 8, _mm_sub_ps(e01, t01));
    _mm_storeu_ps(y + 12, _mm_sub_ps(e23, t23));
}

template <void (*K)(const float*, float*, float)> void SmallPlain(const float* x, float* y)
{
    K(x, y, 1.0f);
}
} // namespace

// Kernels of one level: the real orders 1 and 2 and the complex order 2 where
// Shared (levels 1 and 2), the order-3 kernels always.
#define DSP_FFT_DEFINE_SMALL_ORDER3(Sfx, Dp)                                                       \
    void DspFftFwdROrder3_32f_##Sfx(const float* x, float* y)                                      \
    {                                                                                              \
        SmallFwdROrder3<false, Dp>(x, y, 1.0f);                                                    \
    }                                                                                              \
    void DspFftFwdROrder3Scale32f_##Sfx(const float* x, float* y, float s)                         \
    {                                                                                              \
        SmallFwdROrder3<true, Dp>(x, y, s);                                                        \
    }                                                                                              \
    void DspFftInvROrder3_32f_##Sfx(const float* x, float* y)                                      \
    {                                                                                              \
        SmallInvROrder3<false, Dp>(x, y, 1.0f);                                                    \
    }                                                                                              \
    void DspFftInvROrder3Scale32f_##Sfx(const float* x, float* y, float s)                         \
    {                                                                                              \
        SmallInvROrder3<true, Dp>(x, y, s);                                                        \
    }                                                                                              \
    void DspFftFwdCOrder3_32f_##Sfx(const float* x, float* y)                                      \
    {                                                                                              \
        SmallCOrder3<false>(x, y, 1.0f);                                                           \
    }                                                                                              \
    void DspFftFwdCOrder3Scale32f_##Sfx(const float* x, float* y, float s)                         \
    {                                                                                              \
        SmallCOrder3<true>(x, y, s);                                                               \
    }

#define DSP_FFT_DEFINE_SMALL_SHARED(Sfx)                                                           \
    void DspFftOrder1_32f_##Sfx(const float* x, float* y)                                          \
    {                                                                                              \
        SmallROrder1<false>(x, y, 1.0f);                                                           \
    }                                                                                              \
    void DspFftOrder1Scale32f_##Sfx(const float* x, float* y, float s)                             \
    {                                                                                              \
        SmallROrder1<true>(x, y, s);                                                               \
    }                                                                                              \
    void DspFftFwdROrder2_32f_##Sfx(const float* x, float* y)                                      \
    {                                                                                              \
        SmallFwdROrder2<false>(x, y, 1.0f);                                                        \
    }                                                                                              \
    void DspFftFwdROrder2Scale32f_##Sfx(const float* x, float* y, float s)                         \
    {                                                                                              \
        SmallFwdROrder2<true>(x, y, s);                                                            \
    }                                                                                              \
    void DspFftInvROrder2_32f_##Sfx(const float* x, float* y)                                      \
    {                                                                                              \
        SmallInvROrder2<false>(x, y, 1.0f);                                                        \
    }                                                                                              \
    void DspFftInvROrder2Scale32f_##Sfx(const float* x, float* y, float s)                         \
    {                                                                                              \
        SmallInvROrder2<true>(x, y, s);                                                            \
    }                                                                                              \
    void DspFftFwdCOrder2_32f_##Sfx(const float* x, float* y)                                      \
    {                                                                                              \
        SmallCOrder2<false>(x, y, 1.0f);                                                           \
    }                                                                                              \
    void DspFftFwdCOrder2Scale32f_##Sfx(const float* x, float* y, float s)                         \
    {                                                                                              \
        SmallCOrder2<true>(x, y, s);                                                               \
    }
