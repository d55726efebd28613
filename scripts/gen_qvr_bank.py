#!/usr/bin/env python3
"""Generates the headphone engine's coefficient bank.

The bank holds 373,248 little-endian 32-bit floats (1,492,992 bytes): for
every room (codes 3, 2, 1) and angle set (family A: 24, 29, 34, 39; family B:
25, 30, 35, 40; the single set 31) head blocks of ten 1024-tap filters (stream
k to ear e in slot 2k + e; streams front left, front right, centre, left
surround, right surround) and a tail block of two long filters shared by all
streams, then five crosstalk-cancellation pairs (A then B, 256 taps each) for
the angles 5, 10, 15, 20 and 30.

How the responses are made:
- Head: a spherical head after Brown and Duda (one-pole/one-zero head shadow
  per angle of incidence, Woodworth interaural delay, five pinna echoes),
  evaluated in the frequency domain and band-limited below half the sampling
  rate. Each source is time-aligned so that its nearer ear's onset lies about
  five taps in.
- Room: a horizontal shoebox room per room code with image sources up to the
  third order; each image is rendered through the head at its own azimuth,
  with wall absorption as a one-pole low-pass per reflection.
- Late reverberation: low-passed noise under an exponential envelope per room
  and set, reaching -60 dB at the end of its tail. The envelope runs through
  the head filters and on into the tail, which therefore continues the head
  filters at tap 1024.
- Family A is a symmetric listener in the middle of the room: every head block
  is mirror-symmetric. Family B and the set 31 are an asymmetric listener
  (ears not diametrically opposite, listener off the room's centre line); the
  family B sets also carry a small per-angle measurement noise on every filter,
  so their centre and surround filters differ from angle to angle by less than
  6.1e-05.
- Crosstalk cancellation: the regularised inverse of the 2 x 2 head matrix of
  two speakers at +/- the angle, computed through its sum and difference
  diagonalisation, delayed by 113 taps past the head's onset and windowed to
  256 taps.
- Eight values are fixed: the first four taps of room 3, code 24, filter 0,
  and of the first tail block, set at the start of the responses they belong
  to (the mirror filter 3 follows).

Every property the engine relies on is asserted before the file is written.
Only the standard library is used; the noise is a fixed xorshift generator, so
the output is the same on every run.

Usage: gen_qvr_bank.py [output]   (default: the bank beside the engine)
       gen_qvr_bank.py --check FILE  (regenerate and compare, byte for byte)
"""
import cmath
import math
import os
import struct
import sys

FS = 44100.0
SPEED = 343.0
HEAD_LEN = 1024
CTC_LEN = 256
BANK_FLOATS = 373248

ROOMS = (3, 2, 1)  # layout order
FAMILY_A = (24, 29, 34, 39)
FAMILY_B = (25, 30, 35, 40)
CTC_ANGLES = (5, 10, 15, 20, 30)
TAIL_LEN = {
    ("A", 3): 7168, ("A", 2): 3072, ("A", 1): 3072,
    ("B", 3): 7168, ("B", 2): 5120, ("B", 1): 3072,
    ("31", 3): 6144, ("31", 2): 6144, ("31", 1): 6144,
}
QUOTED_HEAD = (0.04126, 0.002777, -0.148865, 0.069702)
QUOTED_TAIL = (0.004303, 0.003998, -0.000732, -0.003387)

# Source azimuths in degrees, positive to the listener's left; the front pair
# is set per angle code.
CENTRE_AZ = 0.0
SURROUND_AZ = 110.0


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


# ---------------------------------------------------------------- transforms
def fft(x, inverse=False):
    n = len(x)
    a = list(x)
    j = 0
    for i in range(1, n):
        bit = n >> 1
        while j & bit:
            j ^= bit
            bit >>= 1
        j |= bit
        if i < j:
            a[i], a[j] = a[j], a[i]
    size = 2
    sign = 1.0 if inverse else -1.0
    while size <= n:
        w = cmath.exp(complex(0.0, sign * 2.0 * math.pi / size))
        half = size // 2
        for start in range(0, n, size):
            wk = 1.0 + 0j
            for k in range(start, start + half):
                t = a[k + half] * wk
                a[k + half] = a[k] - t
                a[k] = a[k] + t
                wk *= w
        size <<= 1
    if inverse:
        a = [v / n for v in a]
    return a


def irfft(half, n):
    """Real signal of n points from bins 0..n/2 of its spectrum."""
    full = list(half) + [half[n - k].conjugate() for k in range(n // 2 + 1, n)]
    full[0] = complex(full[0].real, 0.0)
    full[n // 2] = complex(full[n // 2].real, 0.0)
    return [v.real for v in fft(full, True)]


def spectrum(taps, n):
    return fft([complex(t, 0.0) for t in taps] + [0j] * (n - len(taps)))[: n // 2 + 1]


# --------------------------------------------------------------- noise source
class Noise:
    """xorshift64* generator; low-passed unit-RMS noise."""

    def __init__(self, seed):
        self.state = (seed * 0x9E3779B97F4A7C15 + 0x2545F4914F6CDD1D) & ((1 << 64) - 1) or 1
        self.lp1 = 0.0
        self.lp2 = 0.0

    def uniform(self):
        s = self.state
        s ^= s >> 12
        s ^= (s << 25) & ((1 << 64) - 1)
        s ^= s >> 27
        self.state = s
        r = (s * 0x2545F4914F6CDD1D) & ((1 << 64) - 1)
        return (r >> 11) / float(1 << 53) * 2.0 - 1.0

    def coloured(self, count, pole):
        """count samples of noise through two one-pole low-passes, scaled to
        unit RMS."""
        out = []
        for _ in range(count):
            self.lp1 = (1 - pole) * self.uniform() + pole * self.lp1
            self.lp2 = (1 - pole) * self.lp1 + pole * self.lp2
            out.append(self.lp2)
        level = math.sqrt(sum(v * v for v in out) / max(1, len(out)))
        return [v / level for v in out]


# ------------------------------------------------------------ the head model
class Head:
    def __init__(self, radius, left_ear, right_ear, pinna):
        self.radius = radius
        self.ears = (left_ear, right_ear)  # ear axes, degrees
        self.pinna = pinna

    @staticmethod
    def incidence(az, ear_az):
        d = abs(az - ear_az) % 360.0
        return math.radians(360.0 - d if d > 180.0 else d)

    def delay(self, theta):
        # Woodworth's path around a sphere, in samples; 0 at grazing incidence.
        r = self.radius / SPEED * FS
        if theta < math.pi / 2:
            return -r * math.cos(theta)
        return r * (theta - math.pi / 2)

    def response(self, az, ear, base, n=512, extra=None):
        """Spectrum (bins 0..n/2) of the source at az at one ear, aligned so
        that the nearer ear's onset sits at `base` taps."""
        thetas = [self.incidence(az, e) for e in self.ears]
        theta = thetas[ear]
        delay = base + self.delay(theta) - min(self.delay(t) for t in thetas)
        w0 = SPEED / self.radius
        alpha = 1.05 + 0.95 * math.cos(theta / math.radians(150.0) * math.pi)
        echoes = ((0.5, 1.0, 2.0, 1.0), (-1.0, 5.0, 4.0, 0.5), (0.5, 5.0, 7.0, 0.5),
                  (-0.25, 5.0, 11.0, 0.5), (0.25, 5.0, 13.0, 0.5))
        out = []
        for k in range(n // 2 + 1):
            f = FS * k / n
            w = 2 * math.pi * f
            shadow = complex(1.0, alpha * w / (2 * w0)) / complex(1.0, w / (2 * w0))
            pinna = 1.0 + 0j
            for rho, amp, offs, dd in echoes:
                tau = amp * math.cos(theta / 2) * math.sin(dd * math.pi / 2) + offs
                pinna += self.pinna * rho * cmath.exp(complex(0.0, -w * tau / FS))
            edge = 1.0 if f < 15000.0 else 0.5 + 0.5 * math.cos(math.pi * (f - 15000.0) / 7050.0)
            h = shadow * pinna * edge * cmath.exp(complex(0.0, -w * delay / FS))
            if extra is not None:
                h *= extra(f)
            out.append(h)
        return out

    def impulse(self, az, ear, base, extra=None, length=256):
        taps = irfft(self.response(az, ear, base, 512, extra), 512)[:length]
        fade = 64
        for i in range(fade):
            taps[length - fade + i] *= 0.5 + 0.5 * math.cos(math.pi * (i + 1) / fade)
        return taps


# ------------------------------------------------------------------ the room
class Room:
    def __init__(self, front, back, half_width, distance, absorb_hz, wall, offset):
        self.front, self.back = front, back  # walls at x = front, x = -back
        self.half = half_width               # walls at y = offset +/- half
        self.distance = distance
        self.absorb = absorb_hz
        self.wall = wall
        self.offset = offset                 # listener's offset from the centre line

    def images(self, az):
        """(extra delay in samples, gain, azimuth, order) of the reflections."""
        xs = self.distance * math.cos(math.radians(az))
        ys = self.distance * math.sin(math.radians(az)) + self.offset
        length = self.front + self.back
        out = []
        for n in range(-2, 3):
            for p in (0, 1):
                ox = abs(2 * n - p)
                u = (-1) ** p * (xs + self.back) + 2 * n * length
                x = u - self.back
                for m in range(-3, 4):
                    for q in (0, 1):
                        if (m - q) % 2:
                            continue
                        order = ox + abs(m)
                        if order == 0 or order > 3:
                            continue
                        y = (-1) ** q * ys + 2 * m * self.half - self.offset
                        dist = math.hypot(x, y)
                        extra = (dist - self.distance) / SPEED * FS
                        if extra >= HEAD_LEN - 320:
                            continue
                        gain = self.wall ** order * self.distance / dist
                        azi = math.degrees(math.atan2(abs(y), x)) * (1 if y >= 0 else -1)
                        out.append((extra, gain, azi, order))
        out.sort()
        return out


def one_pole(fc, order):
    def h(f):
        return complex(1.0, f / fc) ** (-order)
    return h


# ---------------------------------------------------------------- the sets
HEADS = {
    "A": Head(0.0900, 90.0, -90.0, 0.12),
    "B": Head(0.0890, 96.0, -86.0, 0.14),
    "31": Head(0.0880, 87.0, -95.0, 0.13),
}
ROOM_SHAPES = {  # front, back, half width, source distance, absorption, wall
    3: (4.6, 3.8, 3.3, 2.4, 5200.0, 0.45),
    2: (3.3, 2.6, 2.4, 1.9, 6500.0, 0.35),
    1: (2.4, 1.9, 1.8, 1.4, 8000.0, 0.28),
}
OFFSET = {"A": 0.0, "B": 0.13, "31": -0.11}
DECAY_START = {3: 0.0035, 2: 0.0033, 1: 0.0030}  # late level at tap 1024
DIRECT_GAIN = 0.25
BASE = 5.0


def room_for(kind, room):
    f, b, h, d, absorb, wall = ROOM_SHAPES[room]
    return Room(f, b, h, d, absorb, wall, OFFSET[kind])


def render(head, room, az, ear, anchor=()):
    """Direct sound and reflections of one source at one ear; anchor replaces
    the first taps of the direct sound."""
    # Adding to +0.0 keeps every zero tap positive.
    direct = [0.0 + DIRECT_GAIN * v for v in head.impulse(az, ear, BASE)]
    direct[: len(anchor)] = anchor
    taps = direct + [0.0] * (HEAD_LEN - len(direct))
    for extra, gain, azi, order in room.images(az):
        shift = int(round(extra))
        refl = head.impulse(azi, ear, BASE, one_pole(room.absorb, order))
        for i, v in enumerate(refl):
            if shift + i < HEAD_LEN:
                taps[shift + i] += DIRECT_GAIN * gain * v
    return taps


def envelope(kind, room, onset, total):
    end = HEAD_LEN + TAIL_LEN[(kind, room)]
    tau = (end - HEAD_LEN) / math.log(1000.0)
    # The diffuse field builds up over the rest of the head filters' span.
    build_up = max(96.0, 0.6 * (768 - onset))
    env = []
    for t in range(total):
        if t < onset:
            env.append(0.0)
            continue
        e = DECAY_START[room] * math.exp(-(t - HEAD_LEN) / tau)
        ramp = min(1.0, (t - onset) / build_up)
        fade = 1.0
        if t >= end - 256:
            fade = 0.5 + 0.5 * math.cos(math.pi * (t - (end - 256) + 1) / 256.0)
        env.append(e * math.sin(0.5 * math.pi * ramp) ** 2 * fade)
    return env


def noise_key(kind, stream, ear):
    """Family A shares noise between mirror images; the others do not."""
    if kind != "A":
        return stream * 2 + ear
    mirror = {0: 0, 1: 0, 2: 1, 3: 2, 4: 2}[stream]
    same_side = (stream in (0, 3) and ear == 0) or (stream in (1, 4) and ear == 1)
    return mirror * 2 + (0 if same_side or stream == 2 else 1)


def seed(*parts):
    s = 1469598103934665603
    for p in parts:
        for ch in str(p):
            s = ((s ^ ord(ch)) * 1099511628211) & ((1 << 64) - 1)
    return s


def head_block(kind, room, code):
    """Ten 1024-tap filters, stream k to ear e in slot 2k + e: direct sound,
    reflections and the start of the late field."""
    head = HEADS[kind]
    shape = room_for(kind, room)
    sources = (float(code), -float(code), CENTRE_AZ, SURROUND_AZ, -SURROUND_AZ)
    # The late field sets in just before the centre speaker's first reflection.
    onset = int(shape.images(0.0)[0][0]) - 24
    env = envelope(kind, room, onset, HEAD_LEN)
    late = {}
    filters = []
    for k, az in enumerate(sources):
        for ear in (0, 1):
            anchor = QUOTED_HEAD if (kind, room, code, k, ear) in (
                ("A", 3, 24, 0, 0), ("A", 3, 24, 1, 1)) else ()
            taps = render(head, shape, az, ear, anchor)
            key = noise_key(kind, k, ear)
            if key not in late:
                late[key] = Noise(seed(kind, room, "late", key)).coloured(HEAD_LEN, 0.55)
            taps = [t + e * v for t, e, v in zip(taps, env, late[key])]
            filters.append(taps)
    if kind == "B":
        meas = Noise(seed(kind, room, code, "measurement"))
        filters = [[t + 3.0e-5 * meas.uniform() for t in f] for f in filters]
    return filters


def tail_block(kind, room):
    """The late field from tap 1024 on, one decorrelated filter per ear."""
    shape = room_for(kind, room)
    onset = int(shape.images(0.0)[0][0]) - 24
    n = TAIL_LEN[(kind, room)]
    env = envelope(kind, room, onset, HEAD_LEN + n)[HEAD_LEN:]
    tails = []
    for ear in (0, 1):
        noise = Noise(seed(kind, room, "tail", ear)).coloured(n, 0.55)
        taps = [e * v for e, v in zip(env, noise)]
        if (kind, room, ear) == ("A", 3, 0):
            taps[:4] = list(QUOTED_TAIL)
        tails.append(taps)
    return tails


# ------------------------------------------------- crosstalk cancellation
def ctc_pair(angle):
    """A and B of speakers at +/- angle: the regularised inverse of
    [[Hi, Hc], [Hc, Hi]] is 1/2 [[S + D, S - D], [S - D, S + D]] with
    S = 1 / (Hi + Hc) and D = 1 / (Hi - Hc); the regularisation is stronger
    below 120 Hz and above 16 kHz, where loudspeakers and heads give little to
    cancel with."""
    n = 1024
    head = HEADS["A"]
    hi = head.response(float(angle), 0, BASE, n)
    hc = head.response(-float(angle), 0, BASE, n)
    delay = 113.0 + BASE
    a_half, b_half = [], []
    for k in range(n // 2 + 1):
        f = FS * k / n
        beta = 0.02 + 0.3 * (1.0 if f < 120.0 else 0.0) + (0.3 if f > 16000.0 else 0.0)
        s = hi[k] + hc[k]
        d = hi[k] - hc[k]
        inv_s = s.conjugate() / (abs(s) ** 2 + beta)
        inv_d = d.conjugate() / (abs(d) ** 2 + beta)
        shift = cmath.exp(complex(0.0, -2 * math.pi * f * delay / FS))
        a_half.append(0.5 * (inv_s + inv_d) * shift)
        b_half.append(0.5 * (inv_s - inv_d) * shift)
    pair = []
    for half in (a_half, b_half):
        taps = irfft(half, n)[:CTC_LEN]
        for i in range(32):
            taps[i] *= math.sin(0.5 * math.pi * (i + 0.5) / 32) ** 2
            taps[CTC_LEN - 1 - i] *= math.sin(0.5 * math.pi * (i + 0.5) / 32) ** 2
        pair.append(taps)
    return pair, hi, hc


def ctc_separation(pair, hi, hc, n=1024):
    """Mean channel separation in dB between 300 Hz and 5 kHz at the ears."""
    a = spectrum(pair[0], n)
    b = spectrum(pair[1], n)
    total, count = 0.0, 0
    for k in range(n // 2 + 1):
        f = FS * k / n
        if 300.0 <= f <= 5000.0:
            same = hi[k] * a[k] + hc[k] * b[k]
            cross = hc[k] * a[k] + hi[k] * b[k]
            total += 20 * math.log10(abs(same) / max(abs(cross), 1e-12))
            count += 1
    return total / count


# ------------------------------------------------------------------ checks
def peak(taps):
    best, where = -1.0, -1
    for i, v in enumerate(taps):
        if abs(v) > best:
            best, where = abs(v), i
    return where


def rms(taps):
    return math.sqrt(sum(v * v for v in taps) / len(taps))


def check(sets, ctc, separations):
    mirror = ((0, 3), (1, 2), (4, 5), (6, 9), (7, 8))
    for (kind, room, code), (heads, tails) in sets.items():
        is_mirror = all(heads[p] == heads[q] for p, q in mirror)
        assert is_mirror == (kind == "A"), ("mirror symmetry", kind, room, code)
        for f in (0, 3):
            assert peak(heads[f]) < 10, ("direct peak", kind, room, code, f, peak(heads[f]))
        # The tail continues the head filters' late decay at tap 1024: the
        # level over the tail's first 256 taps lies within 3 dB of what the
        # head filters' last 256 taps predict from the room's decay.
        tau = TAIL_LEN[(kind, room)] / math.log(1000.0)
        for e in (0, 1):
            head_late = rms([v for f in range(e, 10, 2) for v in heads[f][768:]])
            predicted = head_late * math.exp(-256.0 / tau)
            measured = rms(tails[e][:256])
            ratio_db = 20 * math.log10(measured / predicted)
            assert abs(ratio_db) < 3.0, ("tail continuity", kind, room, code, e, ratio_db)
    for kind, codes in (("A", FAMILY_A), ("B", FAMILY_B)):
        for room in ROOMS:
            blocks = [sets[(kind, room, c)][0] for c in codes]
            for f in range(4, 10):
                diff = max(abs(x - y) for b1 in blocks for b2 in blocks
                           for x, y in zip(b1[f], b2[f]))
                if kind == "A":
                    assert diff == 0.0, ("family A filters 4-9 identical", room, f)
                else:
                    assert 0.0 < diff <= 6.1e-05, ("family B filters 4-9", room, f, diff)
            for f in range(4):
                assert blocks[0][f] != blocks[1][f], ("front filters change", kind, room, f)
            for f in (1, 2):
                peaks = [peak(b[f]) for b in blocks]
                assert all(p < q for p, q in zip(peaks, peaks[1:])), ("cross peaks", kind,
                                                                       room, f, peaks)
                assert all(p >= 10 for p in peaks), ("cross after direct", kind, room, peaks)
    room3 = [peak(sets[("A", 3, c)][0][1]) for c in FAMILY_A]
    assert room3 == [15, 17, 19, 20], ("room 3 cross peaks", room3)
    for angle, (a, b) in zip(CTC_ANGLES, ctc):
        assert 112 <= peak(a) <= 119, ("ctc A peak", angle, peak(a))
        assert 113 <= peak(b) <= 125, ("ctc B peak", angle, peak(b))
    for angle, sep in zip(CTC_ANGLES, separations):
        assert sep >= 10.0, ("ctc separation", angle, sep)


def layout():
    order = []
    for kind, codes in (("A", FAMILY_A), ("B", FAMILY_B), ("31", (31,))):
        for room in ROOMS:
            for code in codes:
                order.append(("head", kind, room, code))
            order.append(("tail", kind, room, None))
    return order


def build():
    sets = {}
    tails = {}
    for kind, codes in (("A", FAMILY_A), ("B", FAMILY_B), ("31", (31,))):
        for room in ROOMS:
            tails[(kind, room)] = tail_block(kind, room)
            for code in codes:
                sets[(kind, room, code)] = head_block(kind, room, code)
    # Everything is checked as it will be stored.
    sets = {k: ([[f32(v) for v in f] for f in h], None) for k, h in sets.items()}
    tails = {k: [[f32(v) for v in t] for t in pair] for k, pair in tails.items()}
    sets = {k: (h, tails[(k[0], k[1])]) for k, (h, _) in sets.items()}
    ctc, separations = [], []
    for angle in CTC_ANGLES:
        pair, hi, hc = ctc_pair(angle)
        pair = [[f32(v) for v in t] for t in pair]
        ctc.append(pair)
        separations.append(ctc_separation(pair, hi, hc))
    check(sets, ctc, separations)

    floats = []
    offsets = []
    for what, kind, room, code in layout():
        offsets.append(len(floats) * 4)
        if what == "head":
            for f in sets[(kind, room, code)][0]:
                floats.extend(f)
        else:
            for t in tails[(kind, room)]:
                floats.extend(t)
    offsets.append(len(floats) * 4)
    for a, b in ctc:
        floats.extend(a)
        floats.extend(b)
    assert offsets == [0, 40960, 81920, 122880, 163840, 221184, 262144, 303104, 344064,
                       385024, 409600, 450560, 491520, 532480, 573440, 598016, 638976,
                       679936, 720896, 761856, 819200, 860160, 901120, 942080, 983040,
                       1024000, 1064960, 1105920, 1146880, 1187840, 1212416, 1253376,
                       1302528, 1343488, 1392640, 1433600, 1482752], offsets
    assert len(floats) == BANK_FLOATS, len(floats)
    assert floats[0:4] == [f32(v) for v in QUOTED_HEAD]
    assert floats[40960:40964] == [f32(v) for v in QUOTED_TAIL]
    return struct.pack("<%df" % len(floats), *floats), separations


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "globaltopo", "common", "QVR",
                           "HeadphoneCoefficientBank.bin")
    data, separations = build()
    sys.stderr.write("crosstalk separation (dB): %s\n" %
                     ", ".join("%.1f" % s for s in separations))
    if len(argv) > 1 and argv[1] == "--check":
        with open(argv[2] if len(argv) > 2 else default, "rb") as f:
            same = f.read() == data
        sys.stderr.write("bank %s\n" % ("matches" if same else "DIFFERS"))
        return 0 if same else 1
    with open(argv[1] if len(argv) > 1 else default, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
