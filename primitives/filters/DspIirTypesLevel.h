// The IIR kernels for the other sample types, written once over the sample
// type, the state's precision and the coefficient layout, and built in each
// level's file. Internal linkage: every level keeps its own copy.
#pragma once

#include <emmintrin.h>
#include <xmmintrin.h>

#include <limits>
#include <type_traits>

#include "primitives/core/DspScaleFactor.h"
#include "primitives/filters/DspIirLevel.h"
#include "primitives/filters/DspIirTypes.h"

namespace
{
namespace DspIirTypes
{
template <class P> struct Cx
{
    P re, im;
};

template <class P> inline P Add(P a, P b)
{
    return a + b;
}
template <class P> inline P Sub(P a, P b)
{
    return a - b;
}
template <class P> inline P Mul(P a, P b)
{
    return a * b;
}
template <class P> inline Cx<P> Add(Cx<P> a, Cx<P> b)
{
    return {a.re + b.re, a.im + b.im};
}
template <class P> inline Cx<P> Sub(Cx<P> a, Cx<P> b)
{
    return {a.re - b.re, a.im - b.im};
}
template <class P> inline Cx<P> Mul(Cx<P> a, Cx<P> b)
{
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// A complex coefficient of the rearranged tables: (re, re, -im, im), the
// product of lane arithmetic, (c0 xr + c2 xi, c1 xi + c3 xr).
template <class P> struct TableCoef
{
    const P* c;
};
template <class P> inline Cx<P> Mul(TableCoef<P> t, Cx<P> x)
{
    return {t.c[0] * x.re + t.c[2] * x.im, t.c[1] * x.im + t.c[3] * x.re};
}

template <class V, class P> inline V Load(const P* p, int64_t k)
{
    if constexpr (std::is_same_v<V, P>)
        return p[k];
    else
        return V{p[2 * k], p[2 * k + 1]};
}
template <class V, class P> inline void Store(P* p, int64_t k, V v)
{
    if constexpr (std::is_same_v<V, P>)
        p[k] = v;
    else
    {
        p[2 * k] = v.re;
        p[2 * k + 1] = v.im;
    }
}

template <class P> inline P* Field(float* f)
{
    return reinterpret_cast<P*>(f);
}

// ---- coefficient layouts (see DspIirTypes.h)

template <class P, bool Complex> struct DirectPlain
{
    using Prec = P;
    using V = std::conditional_t<Complex, Cx<P>, P>;
    const P* taps;
    int32_t n;
    V B(int32_t k) const { return Load<V>(taps, k); }
    V A(int32_t k) const { return Load<V>(taps, n + k); }
};

template <class P> struct DirectTable
{
    using Prec = P;
    using V = Cx<P>;
    const P* table;
    int32_t n;
    TableCoef<P> B(int32_t k) const { return {table + 4 * k}; }
    TableCoef<P> A(int32_t k) const { return {table + 4 * (n + k)}; }
};

// One section: y = b0 x + d0; d0 = (b1 x + d1) + (-a1) y; d1 = b2 x + (-a2) y.
template <class C, class V> V SectionStep(C b0, C b1, C b2, C na1, C na2, V* d, V x)
{
    const V y = Add(Mul(b0, x), d[0]);
    d[0] = Add(Add(Mul(b1, x), d[1]), Mul(na1, y));
    d[1] = Add(Mul(b2, x), Mul(na2, y));
    return y;
}

template <class V, class P> V Negate(V v)
{
    if constexpr (std::is_same_v<V, P>)
        return -v;
    else
        return V{-v.re, -v.im};
}

// The one-sample step of each layout; P is the precision of the state.
struct DirectF32
{
    using Prec = float;
    using V = float;
    static V Step(DspIirState32f* st, V x)
    {
        return DspIirLevel::StepDirect(st->taps, st->delay, st->order, x);
    }
};

template <class P, bool Complex> struct DirectForm
{
    using Prec = P;
    using V = std::conditional_t<Complex, Cx<P>, P>;
    static V Step(DspIirState32f* st, V x)
    {
        const int32_t n = st->order;
        P* raw = Field<P>(st->delay);
        auto run = [&](const auto& coefs)
        {
            // The delay line in place: values of V over the raw array.
            if (n <= 0)
                return Mul(coefs.B(0), x);
            const V y = Add(Mul(coefs.B(0), x), Load<V>(raw, 0));
            for (int32_t k = 0; k < n; ++k)
                Store(
                    raw, k,
                    Add(Sub(Mul(coefs.B(k + 1), x), Mul(coefs.A(k + 1), y)), Load<V>(raw, k + 1)));
            return y;
        };
        // Complex float states from order 4 and complex double states read
        // the rearranged table.
        const bool table = Complex && (std::is_same_v<P, double> || n >= 4);
        if constexpr (Complex)
            if (table)
                return run(DirectTable<P>{Field<P>(st->sectionTable), n});
        return run(DirectPlain<P, Complex>{Field<P>(st->taps), n});
    }
};
using DirectF64 = DirectForm<double, false>;
using DirectC32 = DirectForm<float, true>;
using DirectC64 = DirectForm<double, true>;

struct BiquadF32
{
    using Prec = float;
    using V = float;
    static V Step(DspIirState32f* st, V x)
    {
        return DspIirLevel::StepBiquad(st->sectionTable, st->delay, st->sectionCount, x);
    }
};

struct BiquadF64
{
    using Prec = double;
    using V = double;
    static V Step(DspIirState32f* st, V x)
    {
        const double* r = Field<double>(st->sectionTable);
        double* d = Field<double>(st->delay);
        for (int32_t s = 0; s < st->order / 2; ++s, r += 6, d += 2)
            x = SectionStep(r[0], r[2], r[3], r[4], r[5], d, x);
        return x;
    }
};

template <class P> struct BiquadComplex
{
    using Prec = P;
    using V = Cx<P>;
    static V Step(DspIirState32f* st, V x)
    {
        const int32_t m = st->sectionCount;
        P* raw = Field<P>(st->delay);
        for (int32_t s = 0; s < m; ++s)
        {
            V d[2] = {Load<V>(raw, 2 * s), Load<V>(raw, 2 * s + 1)};
            if (std::is_same_v<P, double> || m >= 5)
            {
                const P* r = Field<P>(st->sectionTable) + 20 * s;
                using T = TableCoef<P>;
                x = SectionStep(T{r}, T{r + 4}, T{r + 8}, T{r + 12}, T{r + 16}, d, x);
            }
            else
            {
                const P* t = Field<P>(st->taps) + 10 * s;
                x = SectionStep(Load<V>(t, 0), Load<V>(t, 1), Load<V>(t, 2),
                                Negate<V, P>(Load<V>(t, 3)), Negate<V, P>(Load<V>(t, 4)), d, x);
            }
            Store(raw, 2 * s, d[0]);
            Store(raw, 2 * s + 1, d[1]);
        }
        return x;
    }
};
using BiquadC32 = BiquadComplex<float>;
using BiquadC64 = BiquadComplex<double>;

// ---- delivery of a result

// 2^-sf, sf held to the exponents whose power is a normal number.
template <class P> inline P ScaleFactor(int32_t sf)
{
    constexpr int32_t lowest = std::is_same_v<P, float> ? -127 : -1023;
    constexpr int32_t highest = std::is_same_v<P, float> ? 126 : 1022;
    return DspScaleFactor<P>(sf < lowest ? lowest : sf > highest ? highest : sf);
}

// Nearest integer, ties to even, saturated to Out. The value is held to the
// range before it is converted (a NaN takes the lowest value, as the
// processor's conversion would give it).
template <class Out, class P> inline Out ToInt(P v)
{
    static_assert(sizeof(Out) < sizeof(P) || std::is_same_v<P, double>);
    constexpr P lo = static_cast<P>(std::numeric_limits<Out>::min());
    constexpr P hi = static_cast<P>(std::numeric_limits<Out>::max());
    if (!(v >= lo))
        return std::numeric_limits<Out>::min();
    if (v > hi)
        return std::numeric_limits<Out>::max();
    if constexpr (std::is_same_v<P, float>)
        return static_cast<Out>(_mm_cvtss_si32(_mm_set_ss(v)));
    else
        return static_cast<Out>(_mm_cvtsd_si32(_mm_set_sd(v)));
}

template <class Out, class P> inline Out Deliver(P v, P scale)
{
    if constexpr (std::is_integral_v<Out>)
        return ToInt<Out>(v * scale);
    else
        return static_cast<Out>(v);
}

template <class Form, class In, class Out, class P>
void OneSample(const In* s, Out* d, P* aux, DspIirState32f* st, int32_t sf)
{
    static_assert(std::is_same_v<P, typename Form::Prec>);
    using V = typename Form::V;
    const P scale = std::is_integral_v<Out> ? ScaleFactor<P>(sf) : P(1);
    if constexpr (std::is_same_v<V, P>)
    {
        const P y = Form::Step(st, static_cast<P>(*s));
        if (aux != nullptr)
            *aux = y;
        *d = Deliver<Out>(y, scale);
    }
    else
    {
        const V y = Form::Step(st, V{static_cast<P>(s[0]), static_cast<P>(s[1])});
        if (aux != nullptr)
            Store(aux, 0, y);
        d[0] = Deliver<Out>(y.re, scale);
        d[1] = Deliver<Out>(y.im, scale);
    }
}

// ---- block kernels

// The numerator part: out[i] = sum over k of b_k x[i + N - k]; real tables
// hold each b_k four times, complex ones b_k as a pair. The biquad adds in the
// order of the float kernel: (b2 x[i] + b1 x[i+1]) + b0 x[i+2].
template <bool Complex, bool Biquad, class In>
void Numerator(const In* s, float* out, int32_t count, const float* num, int32_t n)
{
    using V = std::conditional_t<Complex, Cx<float>, float>;
    auto x = [&](int32_t i)
    {
        if constexpr (Complex)
            return V{static_cast<float>(s[2 * i]), static_cast<float>(s[2 * i + 1])};
        else
            return static_cast<float>(s[i]);
    };
    auto b = [&](int32_t k)
    {
        if constexpr (Complex)
            return Load<V>(num, k);
        else
            return num[4 * k];
    };
    for (int32_t i = 0; i < count; ++i)
    {
        V acc;
        if constexpr (Biquad)
        {
            acc = Add(Add(Mul(b(2), x(i)), Mul(b(1), x(i + 1))), Mul(b(0), x(i + 2)));
        }
        else
        {
            acc = Mul(b(0), x(i + n));
            for (int32_t k = 1; k <= n; ++k)
                acc = Add(acc, Mul(b(k), x(i + n - k)));
        }
        Store(out, i, acc);
    }
}

// y[N + i] for i < count, four per step from the look-ahead table (complex:
// groups of four pairs), the remainder one at a time with alpha_k from the
// first entry of each group. With a 16-bit output every result is also
// written there, scaled, rounded and saturated, at the same position.
template <bool Complex, bool Biquad>
void Recursion(const float* w, float* y, int32_t count, const float* rec, int32_t n, int16_t* y16,
               int32_t sf)
{
    using V = std::conditional_t<Complex, Cx<float>, float>;
    if constexpr (!Complex)
    {
        if (Biquad)
            DspIirLevel::RecursionBiquad(w, y, count, rec);
        else
            DspIirLevel::RecursionDirect(w, y, count, rec, n);
    }
    else
    {
        auto g = [&](int32_t group, int32_t j) { return Load<V>(rec, 4 * group + j); };
        const V zero{0.0f, 0.0f};
        int32_t i = 0;
        for (; i + 4 <= count; i += 4)
        {
            V acc[4];
            for (int32_t j = 0; j < 4; ++j)
            {
                acc[j] = Mul(g(n, j), Load<V>(w, i));
                acc[j] = Add(acc[j], Mul(g(n + 1, j), Load<V>(w, i + 1)));
                acc[j] = Add(acc[j], Mul(g(n + 2, j), Load<V>(w, i + 2)));
                acc[j] = Add(acc[j], j == 3 ? Load<V>(w, i + 3) : zero);
                for (int32_t k = 1; k <= n; ++k)
                    acc[j] = Add(acc[j], Mul(g(k - 1, j), Load<V>(y, n + i - k)));
            }
            for (int32_t j = 0; j < 4; ++j)
                Store(y, n + i + j, acc[j]);
        }
        for (; i < count; ++i)
        {
            V acc = Load<V>(w, i);
            for (int32_t k = 1; k <= n; ++k)
                acc = Add(acc, Mul(g(k - 1, 0), Load<V>(y, n + i - k)));
            Store(y, n + i, acc);
        }
    }
    if (y16 == nullptr)
        return;
    const float scale = ScaleFactor<float>(sf);
    const int32_t lanes = Complex ? 2 : 1;
    for (int64_t i = int64_t{n} * lanes; i < (int64_t{n} + count) * lanes; ++i)
        y16[i] = ToInt<int16_t>(y[i] * scale);
}
} // namespace DspIirTypes
} // namespace

#define DSP_IIR_TYPES_DEFINE_ONE(sfx, name, params, call)                                          \
    void name##_##sfx params                                                                       \
    {                                                                                              \
        using namespace DspIirTypes;                                                               \
        call;                                                                                      \
    }
#define DSP_IIR_TYPES_DEFINE(sfx) DSP_IIR_TYPES_LIST(DSP_IIR_TYPES_DEFINE_ONE, sfx)
