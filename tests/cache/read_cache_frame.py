"""Independent reader of one cache frame, used by the cache tests.

usage: read_cache_frame.py FRAME EXPECTED
EXPECTED holds, as little-endian float32, the values of every stored channel in file order.
Exit status 0 when the header's fields and the numpy-decoded halves match, 1 otherwise, 77 when
numpy is missing.
"""
import struct
import sys

try:
    import numpy as np
except ImportError:
    sys.exit(77)

frame_path, expected_path = sys.argv[1], sys.argv[2]
data = open(frame_path, "rb").read()
if len(data) < 132 or data[:4] != b"TFC1":
    print("not a cache frame"); sys.exit(1)
version, nx, ny, nz = struct.unpack_from("<I3i", data, 4)
sx, sy, sz = struct.unpack_from("<3i", data, 44)
(mask,) = struct.unpack_from("<I", data, 56)
stored = bin(mask & 0xFF).count("1")
n = sx * sy * sz if min(sx, sy, sz) > 0 else 0
if version != 1 or len(data) != 132 + 2 * n * stored or any(data[104:132]):
    print("bad version, length or reserved bytes"); sys.exit(1)
body = np.frombuffer(data, dtype="<f2", offset=132).astype(np.float32)
expected = np.fromfile(expected_path, dtype="<f4")
if body.shape != expected.shape or not np.array_equal(body.view(np.uint32), expected.view(np.uint32)):
    print("channel values differ"); sys.exit(1)
# Channel maxima as the header holds them, against the decoded values.
maxima = struct.unpack_from("<8f", data, 72)
k = 0
for c in range(8):
    if mask & (1 << c):
        chan = body[k * n:(k + 1) * n]
        if n and maxima[c] != float(np.abs(chan).max()):
            print("channel", c, "maximum", maxima[c], "!=", float(np.abs(chan).max())); sys.exit(1)
        k += 1
print("ok", nx, ny, nz, sx, sy, sz, hex(mask))
