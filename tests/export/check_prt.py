#!/usr/bin/env python3
"""Independent reader of the PRT files that tfr_prt_samples writes: its own header parser, zlib
for the particle stream, and its own prediction of every particle from the frame formulas (the
same as in prt_samples.cpp), the black-body physics and the jitter generator.

usage: check_prt.py <tfr_prt_samples executable>"""
import math
import os
import struct
import subprocess
import sys
import tempfile
import zlib

DENSITY = [0.0, 0.0005, 0.002, 0.5, 1.25, 0.0]
TEMPERATURE = [0.0, 0.1, 0.16, 1.2, 0.5, 2.0, 5.0]
TINT = (1.0, 0.9, 0.8)
TEMP_SCALE = 1.1
INTENSITY = 1.5
SMOKE = (0.3, 0.3, 0.32)
H = 2.0
ORIGIN = (-10.0, -8.0, 0.0)
CROP_ORIGIN = (2, 1, 3)
CROP = (3, 2, 2)

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


def blackbody(kelvin):
    t = max(kelvin, 300.0)
    X = Y = Z = 0.0

    def g(lam, mu, s1, s2):
        s = s1 if lam < mu else s2
        return math.exp(-0.5 * ((lam - mu) / s) ** 2)

    for i in range(41):
        nm = 380.0 + 10.0 * i
        m = nm * 1e-9
        p = 1e-30 / ((math.exp(min(0.014388 / (m * t), 80.0)) - 1.0) * m ** 5)
        X += (1.056 * g(nm, 599.8, 37.9, 31.0) + 0.362 * g(nm, 442.0, 16.0, 26.7)
              - 0.065 * g(nm, 501.1, 20.4, 26.2)) * p
        Y += (0.821 * g(nm, 568.8, 46.9, 40.5) + 0.286 * g(nm, 530.9, 16.3, 31.1)) * p
        Z += (1.217 * g(nm, 437.0, 11.8, 36.0) + 0.681 * g(nm, 459.0, 26.0, 13.8)) * p
    rgb = [max(0.0, 3.2406 * X - 1.5372 * Y - 0.4986 * Z), max(0.0, -0.9689 * X + 1.8758 * Y + 0.0415 * Z),
           max(0.0, 0.0557 * X - 0.2040 * Y + 1.0570 * Z)]
    top = max(rgb)
    return [c / top for c in rgb] if top > 0 else rgb


TABLE = [[c * t for c, t in zip(blackbody(300.0 + i * 4000.0 / 127.0), TINT)] for i in range(128)]


def emission(kelvin):
    f = min(max((kelvin - 300.0) / 4000.0 * 127.0, 0.0), 126.999)
    i = int(f)
    w = f - i
    colour = [a + (b - a) * w for a, b in zip(TABLE[i], TABLE[i + 1])]
    strength = max(0.0, (kelvin / 1500.0) ** 6 - 0.08) * INTENSITY
    return [c * strength for c in colour]


def expected(frame, per_cell, velocity, temperature=True):
    """Every particle record of a sample frame, in file order."""
    seed = (frame * 7919 + 12345) & 0xFFFFFFFF
    out = []
    sx, sy, sz = CROP
    for z in range(sz):
        for y in range(sy):
            for x in range(sx):
                i = x + sx * (y + sy * z)
                d = f32(DENSITY[i % 6])
                tau = f32(TEMPERATURE[i % 7]) * f32(TEMP_SCALE) if temperature else 0.0
                if d < 0.001 and tau < 0.15:
                    continue
                kelvin = tau * 1000.0 + 300.0
                em = emission(kelvin)
                for _ in range(per_cell):
                    if per_cell == 1:
                        off = [0.5, 0.5, 0.5]
                    else:
                        off = []
                        for _k in range(3):
                            seed = (seed * 1664525 + 1013904223) & 0xFFFFFFFF
                            off.append((seed >> 8) / 16777216.0)
                    pos = [(CROP_ORIGIN[a] + (x, y, z)[a] + off[a]) * H + ORIGIN[a] for a in range(3)]
                    rec = pos + [d / per_cell, kelvin] + em + list(SMOKE)
                    if velocity:
                        rec += [0.1 * i, -0.2 * i, 1.0 + i]
                    out.append(rec)
    return out


def read_prt(path):
    data = open(path, "rb").read()
    check(data[:8] == b"\xc0PRT\r\n\x1a\n", f"{path}: magic")
    header_len, = struct.unpack_from("<i", data, 8)
    check(header_len == 56, f"{path}: header length {header_len}")
    signature = data[12:44]
    check(signature == b"Extensible Particle Format".ljust(32, b"\0"), f"{path}: signature")
    version, count, reserved, nchan, deflen = struct.unpack_from("<iqiii", data, 44)
    check(version == 1, f"{path}: version")
    check(reserved == 4, f"{path}: reserved field {reserved}")
    check(deflen == 44, f"{path}: channel definition length {deflen}")
    channels = []
    at = 68
    for _ in range(nchan):
        name = data[at:at + 32].rstrip(b"\0").decode()
        check(data[at:at + 32] == name.encode().ljust(32, b"\0"), f"{path}: channel name padding")
        dtype, arity, offset = struct.unpack_from("<iii", data, at + 32)
        channels.append((name, dtype, arity, offset))
        at += 44
    stream = data[at:]
    check(stream[:2] == b"\x78\x01", f"{path}: zlib header")
    raw = zlib.decompress(stream)
    floats = sum(c[2] for c in channels)
    check(len(raw) == count * floats * 4, f"{path}: {len(raw)} bytes of particles for count {count}")
    values = struct.unpack(f"<{len(raw) // 4}f", raw)
    records = [list(values[k * floats:(k + 1) * floats]) for k in range(count)]
    return channels, count, records, stream


def close(a, b):
    return abs(a - b) <= 1e-5 * max(1.0, abs(b))


def compare(name, records, want):
    check(len(records) == len(want), f"{name}: {len(records)} particles, expected {len(want)}")
    for k, (got, exp) in enumerate(zip(records, want)):
        for j, (g, e) in enumerate(zip(got, exp)):
            if not close(g, e):
                failures.append(f"{name}: particle {k} value {j} is {g}, expected {e}")
                return


def main():
    exe = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([exe, folder], check=True)
        path = lambda n: os.path.join(folder, n)

        base = [("Position", 4, 3, 0), ("Density", 4, 1, 12), ("Temperature", 4, 1, 16), ("Emission", 4, 3, 20),
                ("Color", 4, 3, 32)]
        channels, count, records, _ = read_prt(path("basic.prt"))
        check(channels == base, f"basic.prt: channels {channels}")
        compare("basic.prt", records, expected(5, 1, False))
        # One particle per cell: every particle at the centre of a cell.
        for rec in records:
            for a in range(3):
                cell = (rec[a] - ORIGIN[a]) / H
                check(abs(cell - math.floor(cell) - 0.5) < 1e-5, f"basic.prt: {rec[:3]} is not a cell centre")
        # The hot cell without density (index 5: density 0, 2.0 x 1.1) is there with density 0.
        check(any(r[3] == 0.0 and close(r[4], 2.0 * 1.1 * 1000 + 300) for r in records), "basic.prt: hot empty cell")

        channels, count, a, _ = read_prt(path("jitter_a.prt"))
        check(channels == base + [("Velocity", 4, 3, 44)], f"jitter_a.prt: channels {channels}")
        compare("jitter_a.prt", a, expected(5, 3, True))
        check(open(path("jitter_a.prt"), "rb").read() == open(path("jitter_b.prt"), "rb").read(),
              "the same frame gave two different files")
        _, _, nxt, _ = read_prt(path("jitter_next.prt"))
        compare("jitter_next.prt", nxt, expected(6, 3, True))
        check([r[:3] for r in nxt] != [r[:3] for r in a], "frames 5 and 6 have the same jitter")
        # Jittered particles stay inside their cells.
        for rec in a:
            for ax in range(3):
                check(ORIGIN[ax] <= rec[ax] <= ORIGIN[ax] + 10 * H, "jittered particle outside the grid")

        channels, count, recs, stream = read_prt(path("empty.prt"))
        check(count == 0 and recs == [], "empty.prt: particles in an empty frame")
        check(len(channels) == 5, "empty.prt: channel count")
        # One empty final stored block, then the Adler-32 of nothing (1).
        check(stream == b"\x78\x01\x01\x00\x00\xff\xff\x00\x00\x00\x01", f"empty.prt: stream {stream.hex()}")

        _, count, recs, _ = read_prt(path("no_temperature.prt"))
        compare("no_temperature.prt", recs, expected(-2, 1, False, temperature=False))
        for r in recs:
            check(r[4] == 300.0 and r[5:8] == [0.0, 0.0, 0.0], "no_temperature.prt: a particle is not cold")
        check(any(close(r[3], 0.002) for r in recs), "no_temperature.prt: the 0.002 cell is missing")

    if failures:
        print("\n".join(failures[:20]))
        return 1
    print("PRT files check out")
    return 0


if __name__ == "__main__":
    sys.exit(main())
