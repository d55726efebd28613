#!/usr/bin/env python3
"""Designs the four filters of the sample-rate converter stages and writes
them as the C++ table file streaming/conversion/src_filter_tables.cpp.

Standard library only. Frequencies are those of the 44.1 kHz family, where
the passband (0 to 20 kHz) is closest to the images it must suppress; the
48 kHz family runs the same tables with everything scaled by 48/44.1.

- Half-band (66 taps, 2x) and quarter-band (132 taps, 4x): linear-phase
  (even length, symmetric) filters, passband 0..20 kHz, stopband from
  24.1 kHz (the image of 20 kHz) to the Nyquist frequency of the high rate.
  Designed as minimax filters by Lawson's iteratively reweighted least
  squares, with one linear constraint that fixes the ratio of the largest
  tap to the tap sum; the taps are then scaled to sum to 1.001, which puts
  the largest taps at 0.45694 and 0.24821.
- 44.1 to 48 kHz bank (160 phases x 20 taps) and 48 to 44.1 kHz bank
  (147 phases x 24 taps): polyphase rows of a windowed-sinc prototype
  (Kaiser window, its beta chosen for the least deviation over the passband
  and the stopband from 24.1 kHz), each row then scaled to sum to 1.0. The
  first bank's cut-off is half the input rate, so its row 0 is the unit
  impulse at tap 10.

Usage: python3 scripts/design_src_filters.py [output.cpp]
       python3 scripts/design_src_filters.py --check [tables.cpp]
         (designs again and fails unless the file is exactly the output)
"""

import math
import struct
import sys

PASS_EDGE = 20000.0
STOP_EDGE = 24100.0  # 44100 - 20000: the image of the passband edge
BASE_RATE = 44100.0

HALF_BAND_SUM = 1.001
HALF_BAND_PEAK = 0.45694
QUARTER_BAND_PEAK = 0.24821


def f32(x):
    """The value as the 32-bit float the tables hold."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def solve(a, b):
    """Gaussian elimination with partial pivoting; a is n x n, b of n."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for col in range(n):
        piv = max(range(col, n), key=lambda r: abs(m[r][col]))
        m[col], m[piv] = m[piv], m[col]
        p = m[col][col]
        for r in range(col + 1, n):
            f = m[r][col] / p
            if f != 0.0:
                rr, rc = m[r], m[col]
                for c in range(col, n + 1):
                    rr[c] -= f * rc[c]
    x = [0.0] * n
    for r in range(n - 1, -1, -1):
        s = m[r][n] - sum(m[r][c] * x[c] for c in range(r + 1, n))
        x[r] = s / m[r][r]
    return x


# ---------------------------------------------------------------------------
# Half-band and quarter-band filters


def band_filter(taps, factor, peak, total):
    """Symmetric even-length low-pass for a rate change by factor, minimax
    over passband and stopband, with taps[len/2] / sum = peak / total."""
    fs = BASE_RATE * factor
    half = taps // 2
    offsets = [j + 0.5 for j in range(half)]  # tap g[j] sits j + 0.5 from the centre
    density = 24
    grid = []
    npass = int(density * half * PASS_EDGE / (fs / 2)) + 8
    nstop = int(density * half * (fs / 2 - STOP_EDGE) / (fs / 2)) + 8
    for i in range(npass):
        grid.append((PASS_EDGE * i / (npass - 1) / fs, 1.0))
    for i in range(nstop):
        grid.append(((STOP_EDGE + (fs / 2 - STOP_EDGE) * i / (nstop - 1)) / fs, 0.0))
    basis = [[2.0 * math.cos(2.0 * math.pi * f * t) for t in offsets] for f, _ in grid]
    desired = [d for _, d in grid]
    ratio = peak / total
    # g[0] - ratio * 2 * sum(g) = 0
    constraint = [1.0 - 2.0 * ratio] + [-2.0 * ratio] * (half - 1)
    weights = [1.0] * len(grid)
    best = None
    for _ in range(60):
        a = [[0.0] * (half + 1) for _ in range(half + 1)]
        b = [0.0] * (half + 1)
        for w, row, d in zip(weights, basis, desired):
            for j in range(half):
                wj = w * row[j]
                if wj == 0.0:
                    continue
                aj = a[j]
                for k in range(j, half):
                    aj[k] += wj * row[k]
                b[j] += wj * d
        for j in range(half):
            for k in range(j):
                a[j][k] = a[k][j]
            a[j][half] = constraint[j]
            a[half][j] = constraint[j]
        g = solve(a, b)[:half]
        errors = [abs(sum(gj * bj for gj, bj in zip(g, row)) - d) for row, d in zip(basis, desired)]
        worst = max(errors)
        if best is None or worst < best[0]:
            best = (worst, g)
        weights = [w * e for w, e in zip(weights, errors)]
        s = sum(weights)
        weights = [w / s * len(weights) for w in weights]
    g = best[1]
    scale = total / (2.0 * sum(g))
    g = [x * scale for x in g]
    return [g[half - 1 - i] for i in range(half)] + g


# ---------------------------------------------------------------------------
# Polyphase banks


def bessel_i0(x):
    s, term, k = 1.0, 1.0, 1
    while term > 1e-17 * s:
        term *= (x / (2.0 * k)) ** 2
        s += term
        k += 1
    return s


def bank_prototype(phases, taps, input_rate, beta):
    """Kaiser-windowed sinc at phases x input_rate, cut-off half the lower of
    the two rates of the family; centred on phases * taps / 2 for the
    160-phase bank (so that row 0 is an impulse) and on (len - 1) / 2 else."""
    length = phases * taps
    cutoff = BASE_RATE / 2.0  # both banks keep the 44.1 kHz band
    if phases == 160:
        centre = length / 2.0
        span = length / 2.0
    else:
        centre = (length - 1) / 2.0
        span = length / 2.0
    norm = bessel_i0(beta)
    h = []
    for n in range(length):
        t = (n - centre) / phases  # in input samples
        x = 2.0 * cutoff / input_rate * t
        s = 1.0 if t == 0 else math.sin(math.pi * x) / (math.pi * x)
        r = (n - centre) / span
        w = bessel_i0(beta * math.sqrt(max(0.0, 1.0 - r * r))) / norm
        h.append(2.0 * cutoff / input_rate * s * w)
    return h


def bank_rows(h, phases, taps):
    rows = []
    for p in range(phases):
        row = [h[p + phases * k] for k in range(taps)]
        s = sum(row)
        rows.append([x / s for x in row])
    if phases == 160:
        rows[0] = [1.0 if k == taps // 2 else 0.0 for k in range(taps)]
    return rows


def rows_to_prototype(rows, phases, taps):
    h = [0.0] * (phases * taps)
    for p in range(phases):
        for k in range(taps):
            h[p + phases * k] = rows[p][k]
    return h


def response(h, f, rate):
    """|H(f)| of a prototype at rate, by direct summation (the phase does not
    matter for the magnitude)."""
    re = im = 0.0
    w = 2.0 * math.pi * f / rate
    for n, x in enumerate(h):
        if x != 0.0:
            re += x * math.cos(w * n)
            im -= x * math.sin(w * n)
    return math.hypot(re, im)


def bank_grid(input_rate, phases):
    """Passband points and stopband points (dense near the edge, sparse up to
    the prototype's Nyquist frequency)."""
    passband = [PASS_EDGE * i / 24 for i in range(25)]
    stop = [STOP_EDGE + 250.0 * i for i in range(160)]
    top = phases * input_rate / 2.0
    f = stop[-1]
    while f < top:
        f += 2700.0
        stop.append(min(f, top))
    return passband, stop


def bank_error(rows, phases, taps, input_rate, grid):
    h = rows_to_prototype(rows, phases, taps)
    rate = phases * input_rate
    gain = float(phases)
    passband, stop = grid
    ripple = max(abs(response(h, f, rate) / gain - 1.0) for f in passband)
    leak = max(response(h, f, rate) / gain for f in stop)
    return max(ripple, leak), ripple, leak


def design_bank(phases, taps, input_rate):
    grid = bank_grid(input_rate, phases)
    coarse = (grid[0][::3], grid[1][:160:4] + grid[1][160::40])

    def cost(beta, g):
        rows = bank_rows(bank_prototype(phases, taps, input_rate, beta), phases, taps)
        return bank_error(rows, phases, taps, input_rate, g)[0]

    lo, hi = 1.0, 9.0
    phi = (math.sqrt(5.0) - 1.0) / 2.0
    a, b = hi - phi * (hi - lo), lo + phi * (hi - lo)
    ca, cb = cost(a, coarse), cost(b, coarse)
    for _ in range(14):
        if ca < cb:
            hi, b, cb = b, a, ca
            a = hi - phi * (hi - lo)
            ca = cost(a, coarse)
        else:
            lo, a, ca = a, b, cb
            b = lo + phi * (hi - lo)
            cb = cost(b, coarse)
    beta = (lo + hi) / 2.0
    rows = bank_rows(bank_prototype(phases, taps, input_rate, beta), phases, taps)
    return beta, rows


# ---------------------------------------------------------------------------
# Output


def float_text(x):
    v = f32(x)
    if v == 0.0:
        return "0.0f"
    t = "%.9g" % v
    if "e" not in t and "." not in t:
        t += ".0"
    return t + "f"


def table(name, values, per_line=4):
    lines = []
    for i in range(0, len(values), per_line):
        lines.append("    " + ", ".join(float_text(v) for v in values[i : i + per_line]) + ",")
    return lines


def band_figures(h, factor):
    fs = BASE_RATE * factor
    ripple = max(abs(response(h, PASS_EDGE * i / 40, fs) / sum(h) - 1.0) for i in range(41))
    leak = max(response(h, STOP_EDGE + (fs / 2 - STOP_EDGE) * i / 400, fs) for i in range(401))
    return 20 * math.log10(1 + ripple), -20 * math.log10(leak)


def main():
    args = sys.argv[1:]
    check = bool(args) and args[0] == "--check"
    if check:
        args = args[1:]
    out = args[0] if args else "streaming/conversion/src_filter_tables.cpp"
    half = band_filter(66, 2, HALF_BAND_PEAK, HALF_BAND_SUM)
    quarter = band_filter(132, 4, QUARTER_BAND_PEAK, HALF_BAND_SUM)
    beta_up, up = design_bank(160, 20, 44100.0)
    beta_down, down = design_bank(147, 24, 48000.0)
    figures = {
        "half": band_figures([f32(x) for x in half], 2),
        "quarter": band_figures([f32(x) for x in quarter], 4),
    }
    for name, (phases, taps, rate, rows) in {
        "up": (160, 20, 44100.0, up),
        "down": (147, 24, 48000.0, down),
    }.items():
        _, ripple, leak = bank_error(
            [[f32(x) for x in r] for r in rows], phases, taps, rate, bank_grid(rate, phases)
        )
        figures[name] = (20 * math.log10(1 + ripple), -20 * math.log10(leak))

    text = [
        "// Coefficient tables of the sample-rate converter stages, written by",
        "// scripts/design_src_filters.py (do not edit by hand; run the script).",
        "//",
        "// Design figures (passband 0..20 kHz, stopband from 24.1 kHz, 44.1 kHz family):",
        "//   half-band     ripple %.4f dB, stopband %.1f dB" % figures["half"],
        "//   quarter-band  ripple %.4f dB, stopband %.1f dB" % figures["quarter"],
        "//   44.1->48 bank ripple %.4f dB, stopband %.1f dB (Kaiser beta %.3f)"
        % (figures["up"] + (beta_up,)),
        "//   48->44.1 bank ripple %.4f dB, stopband %.1f dB (Kaiser beta %.3f)"
        % (figures["down"] + (beta_down,)),
        '#include "streaming/conversion/src_filter_tables.h"',
        "",
        "// clang-format off",
        "const float g_SrcHalfBandTaps[SRC_HALF_BAND_TAPS] = {",
    ]
    text += table("half", half)
    text += ["};", "", "const float g_SrcQuarterBandTaps[SRC_QUARTER_BAND_TAPS] = {"]
    text += table("quarter", quarter)
    text += ["};", "", "const float g_SrcBank44To48[SRC_BANK_44_TO_48_PHASES][SRC_BANK_44_TO_48_TAPS] = {"]
    for r in up:
        text.append("    {")
        text += ["    " + line for line in table("row", r)]
        text.append("    },")
    text += ["};", "", "const float g_SrcBank48To44[SRC_BANK_48_TO_44_PHASES][SRC_BANK_48_TO_44_TAPS] = {"]
    for r in down:
        text.append("    {")
        text += ["    " + line for line in table("row", r)]
        text.append("    },")
    text += ["};", "// clang-format on", ""]
    if check:
        with open(out) as fh:
            if fh.read() != "\n".join(text):
                sys.exit("%s is not the output of this script" % out)
        return
    with open(out, "w") as fh:
        fh.write("\n".join(text))
    for k, v in figures.items():
        print("%-8s ripple %.4f dB  stopband %.1f dB" % ((k,) + v))


if __name__ == "__main__":
    main()
