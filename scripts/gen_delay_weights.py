#!/usr/bin/env python3
"""Generates the rate records of the delay engine (effects/DelayFxRateRecords.cpp).

Usage: python3 scripts/gen_delay_weights.py [--check] [output path]
Standard library only; exact rational arithmetic throughout, so the output is
the same on every machine and every run. With --check nothing is written: the
exit status says whether the file holds exactly what the generator makes.

The records hold the network's fixed coefficients (lines, feeds, sections,
gains, mixes, output filters, feedback) and the weights of the seven sparse
filters. Only a few sparse weights are fixed by the design (ANCHORS below); the
rest come from one underlying response per filter:

1. The response lives on the 48 kHz lag grid, tau_j = 2 (j + 1) / 48000 s
   (the filters tap even lags 2, 4, ...), for j = 0 .. n48 + 3: four taps past
   the 48 kHz filter's end, because the longer filters of the other rates
   reach up to 0.91 ms.
2. u[j] = the anchored weight where one is given; otherwise
   amplitude * decay^j * r_j, with r_j uniform in [-1, 1) from a 31-bit
   linear congruential generator seeded per filter (a diffuse, decaying tail).
3. Every weight is rounded to a 16-bit step (k / 32768, half away from zero).
   The 48 kHz filter is u[0 .. n48-1] itself, so the anchored values are
   reproduced exactly.
4. Another rate fs samples the same response, taken as piecewise linear
   through (0, 0) and the points (tau_j, u[j]), at its own lags 2 (j+1) / fs,
   for its own tap count; that sampled filter is scaled so that its sum of
   magnitudes (the largest gain it can give any signal) equals that of the
   48 kHz filter, so no rate drives the mixes and the output quantiser harder
   than 48 kHz does, and every weight stays well inside a 16-bit step range.

The script checks the memory length N of every rate against the network's
memory map, the feedback spacings against the line lengths, the anchors, the
tap counts, and the bounds of step 4, and fails without writing otherwise.
"""

import sys
from fractions import Fraction as F

STEP = 32768

# Per rate: N, line lengths, line tap weights, section (b0 b1 b2 a1 a2, stored
# halved), sparse tap counts, output filter terms z19..z30.
RATES = [
    (48000, 0, 3588, [599, 871, 778, 1032],
     [["0.3803711", "0.3803711"], ["0.33605957", "0.33605957"],
      ["0.35058594", "0.35058594"], ["0.31225586", "0.31225586"]],
     ["0.49066162", "-0.9812622", "0.49066162", "0.98101807", "-0.4815979"],
     [16, 16, 16, 20, 20, 18, 18],
     ["0.27835083", "0.008270264", "-0.14730835", "0.4124756", "-0.019042969", "-0.12780762",
      "0.5018921", "-0.005554199", "-0.050231934", "0.42822266", "-0.049926758", "-0.026062012"]),
    (44100, 1, 3307, [550, 800, 715, 948],
     [["0.5072632", "0.25360107"], ["0.44805908", "0.22406006"],
      ["0.46740723", "0.23370361"], ["0.41638184", "0.20819092"]],
     ["0.48983765", "-0.97961426", "0.48983765", "0.97924805", "-0.47998047"],
     [15, 15, 15, 19, 19, 17, 17],
     ["0.28814697", "-0.018188477", "-0.06954956", "0.43225098", "-0.068847656", "-0.011962891",
      "0.50738525", "-0.02722168", "-0.047424316", "0.41784668", "-0.042236328", "-0.042785645"]),
    (32000, 2, 2408, [399, 580, 518, 687],
     [["0.62976074", "0.14483643", "-0.0138549805"], ["0.5564575", "0.12799072", "-0.012268066"],
      ["0.5805664", "0.13354492", "-0.012756348"], ["0.5172119", "0.11895752", "-0.011352539"]],
     ["0.48602295", "-0.9718933", "0.48602295", "0.97128296", "-0.47262573"],
     [10, 10, 10, 13, 13, 12, 12],
     ["0.31939697", "-0.10128784", "0.2170105", "0.4232788", "-0.09338379", "0.22216797",
      "0.50982666", "-0.05126953", "0.04949951", "0.42364502", "-0.06964111", "-0.0059814453"]),
    (96000, 16, 7155, [1199, 1743, 1557, 2064],
     [["0.22711182", "0.20440674", "0.22711182", "0.10217285"],
      ["0.20062256", "0.18054199", "0.20062256", "0.090270996"],
      ["0.20928955", "0.18835449", "0.20928955", "0.094177246"],
      ["0.1864624", "0.16784668", "0.1864624", "0.08392334"]],
     ["0.49531555", "-0.99061584", "0.49531555", "0.99053955", "-0.49069214"],
     [34, 34, 34, 42, 42, 38, 38],
     ["0.20553589", "0.0769043", "0.05065918", "0.2958374", "0.105651855", "0.06378174",
      "0.33605957", "0.13653564", "0.085510254", "0.36499023", "0.02947998", "0.021240234"]),
    (88200, 17, 6595, [1102, 1602, 1430, 1897],
     [["0.23773193", "0.22583008", "0.23773193", "0.059448242"],
      ["0.20996094", "0.19946289", "0.20996094", "0.052490234"],
      ["0.21911621", "0.20819092", "0.21911621", "0.05480957"],
      ["0.19519043", "0.1854248", "0.19519043", "0.04876709"]],
     ["0.49490356", "-0.98979187", "0.49490356", "0.9897156", "-0.48989868"],
     [32, 32, 32, 40, 40, 36, 36],
     ["0.20986938", "0.08111572", "0.045410156", "0.30187988", "0.11102295", "0.054504395",
      "0.34368896", "0.14447021", "0.0814209", "0.36743164", "0.030883789", "0.020629883"]),
]

FEEDS = ["-0.55170316", "0.6189465", "0.55170316", "0.6189465",
         "0.5651518", "0.32964623", "0.5651518", "0.32964623"]
GAINS = ["1", "1", "0.8406633", "1", "0.8406633", "0.8200073", "0.8200073",
         "0.90997314", "1", "0.90997314", "1"]
PAIR_MIX = ["0.5", "0.5", "0.5", "-0.5"] * 3
MID = ["1"] * 7
SIDE = ["1", "1", "-1", "1", "-1", "1", "-1"]
FEEDBACK = [["-0.15246582", "-0.1003418", "0.2980957", "0.93688965"],
            ["-0.9057617", "0.21105957", "-0.36743164", "-0.007873535"],
            ["0.016296387", "0.88220215", "0.4677124", "-0.051696777"],
            ["-0.39508057", "-0.40875244", "0.74658203", "-0.3456421"]]

# Fixed sparse weights at 48 kHz: filter -> {tap: decimal}; negative taps count
# from the end.
ANCHORS = {
    1: {0: "0.14974976", 1: "-0.077545166", 2: "0.010314941", 3: "-0.03225708",
        4: "0.031463623", 5: "-0.016021729", -2: "-0.0051269531", -1: "-0.004119873"},
    4: {0: "0.0012207031", 1: "-0.040283203", 2: "0.014282227", 3: "0.085083008",
        4: "-0.088256836", 5: "0.043457031"},
    6: {0: "0.00079345703", 1: "0.012023926", 2: "0.046447754", 3: "0.0080566406"},
}

# Tail of each underlying response: (amplitude, decay per 48 kHz tap, seed).
TAILS = {
    1: (F(1, 20), F(7, 8), 1),
    2: (F(3, 25), F(7, 8), 2),
    3: (F(3, 25), F(7, 8), 3),
    4: (F(1, 10), F(9, 10), 4),
    5: (F(1, 10), F(9, 10), 5),
    6: (F(3, 50), F(9, 10), 6),
    7: (F(3, 50), F(9, 10), 7),
}
EXTRA_TAPS = 4


def to_step(x):
    """Nearest 16-bit step k (x = k / 32768), halves away from zero."""
    k = (abs(x) * STEP + F(1, 2)).__floor__()
    return k if x >= 0 else -k


def lcg(seed):
    state = (seed * 2654435761 + 12345) % 2**31
    while True:
        state = (1103515245 * state + 12345) % 2**31
        yield F(state, 2**30) - 1


def float32_of(text):
    import struct
    return struct.unpack("<f", struct.pack("<f", float(text)))[0]


def underlying(k, n48):
    """The filter's response on the 48 kHz grid, as 16-bit steps."""
    amplitude, decay, seed = TAILS[k]
    noise = lcg(seed)
    anchors = {(t % n48): v for t, v in ANCHORS.get(k, {}).items()}
    u = []
    for j in range(n48 + EXTRA_TAPS):
        r = next(noise)
        if j in anchors:
            step = to_step(F(anchors[j]))
            if float32_of(anchors[j]) != step / STEP:
                sys.exit(f"anchor {anchors[j]} of filter {k} is not a 16-bit step")
            u.append(step)
        else:
            u.append(to_step(amplitude * decay**j * r))
    return u


def sample(u, fs, n):
    """The response at lags 2 (j+1) / fs, linear between the 48 kHz points."""
    out = []
    for j in range(n):
        pos = F(48000 * (j + 1), fs) - 1  # index on the 48 kHz grid
        lo = pos.__floor__()
        frac = pos - lo
        left = F(0) if lo < 0 else F(u[lo])
        if lo + 1 >= len(u):
            sys.exit(f"rate {fs} reaches past the response ({n} taps)")
        out.append(left + frac * (u[lo + 1] - left))
    return out


def sparse_filters(counts48, counts, fs):
    filters = []
    for k in range(1, 8):
        u = underlying(k, counts48[k - 1])
        if fs == 48000:
            filters.append(u[: counts[k - 1]])
            continue
        raw = sample(u, fs, counts[k - 1])
        target = sum(abs(x) for x in u[: counts48[k - 1]])
        scale = F(target) / sum(abs(x) for x in raw)
        steps = [to_step(x * scale / STEP) for x in raw]
        l1 = sum(abs(x) for x in steps)
        if l1 > target + len(steps) // 2 or max(abs(x) for x in steps) > STEP // 4:
            sys.exit(f"filter {k} at {fs} Hz is not clear of saturation")
        filters.append(steps)
    return filters


def memory_length(lengths, m, counts):
    lines = sum(length + m for length in lengths)
    return lines + 4 * 6 + sum(2 * n + 1 for n in counts) + 21


def exact(step):
    """A 16-bit step as an exact decimal float literal."""
    text = f"{abs(step) / STEP:.17f}".rstrip("0")
    text = text + "0" if text.endswith(".") else text
    return ("-" if step < 0 else "") + text + "f"


def lit(text):
    return text + ("f" if "." in text else ".0f")


def record(rate):
    fs, _, n_cells, lengths, taps, section, counts, outputs = rate
    m = len(taps[0])
    if memory_length(lengths, m, counts) != n_cells:
        sys.exit(f"memory map of {fs} Hz does not fill {n_cells} cells")
    rows = []
    for k in range(4):
        rows.append((f"line {k + 1}", [lit(str(lengths[k]))] + [lit(t) for t in taps[k]]))
    rows.append(("feeds q2..q9", [lit(x) for x in FEEDS]))
    rows.append(("section b0 b1 b2 a1 a2 (halved)", [lit(x) for x in section]))
    rows.append(("gains q15..q25", [lit(x) for x in GAINS]))
    rows.append(("pair mix q26..q37", [lit(x) for x in PAIR_MIX]))
    for k, weights in enumerate(sparse_filters(RATES[0][6], counts, fs)):
        rows.append((f"sparse filter {k + 1}", [lit(str(len(weights)))] +
                     [exact(w) for w in weights]))
    rows.append(("mid weights", [lit(x) for x in MID]))
    rows.append(("side weights", [lit(x) for x in SIDE]))
    out = ["0.5f", "1.0f", "0.5f"] + [lit(x) for x in outputs]
    rows.append(("left output z16..z30", out))
    rows.append(("right output z31..z45", out))
    for k in range(4):
        spacing = [lit(str(lengths[k] + m))]
        rows.append((f"feedback row {k + 1}, spacing" if k < 3 else "feedback row 4, tail",
                     [lit(x) for x in FEEDBACK[k]] + spacing + (["0.0f"] if k == 3 else [])))
    return rows


def wrap(values, width=100):
    """Initialiser lines of at most width columns, four spaces in."""
    out, line = [], "   "
    for v in values:
        if len(line) + len(v) + 2 > width:
            out.append(line)
            line = "   "
        line += " " + v + ","
    return out + [line]


def render():
    lines = ["// Generated by scripts/gen_delay_weights.py; do not edit by hand.",
             "// The delay engine's rate records: integers are stored as floats.",
             '#include "effects/DelayFxRateRecords.h"', "", "// clang-format off",
             "namespace", "{"]
    names = {}
    for rate in RATES:
        fs, index, n_cells = rate[0], rate[1], rate[2]
        rows = record(rate)
        size = sum(len(r[1]) for r in rows)
        names[index] = (f"kRecord{fs}", n_cells)
        lines.append(f"const float kRecord{fs}[{size}] = {{")
        for comment, values in rows:
            lines.append(f"    // {comment}")
            lines += wrap(values)
        lines.append("};")
    lines += ["} // namespace", "",
              "const float* const DelayFxRateRecords[DelayFxRateSlots] = {"]
    lines += wrap([names[i][0] if i in names else "nullptr" for i in range(18)])
    lines += ["};", "", "const int32_t DelayFxMemoryLengths[DelayFxRateSlots] = {"]
    lines += wrap([str(names[i][1]) if i in names else "0" for i in range(18)])
    lines += ["};", "// clang-format on"]
    return "\n".join(lines) + "\n"


def main(args):
    check = "--check" in args
    paths = [a for a in args if a != "--check"]
    path = paths[0] if paths else "effects/DelayFxRateRecords.cpp"
    text = render()
    if check:
        with open(path, encoding="ascii") as f:
            same = f.read() == text
        print(f"{path}: {'up to date' if same else 'differs from the generator'}")
        return 0 if same else 1
    with open(path, "w", encoding="ascii") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
