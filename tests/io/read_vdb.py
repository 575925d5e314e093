#!/usr/bin/python3
"""Reads an OpenVDB file with the OpenVDB library and prints it as JSON.

    read_vdb.py FILE [--no-values]

Prints {"fileOrder": [...], "grids": [...]}. The library hands grids back sorted by name, so
"fileOrder" lists the grid names as the file stores them, found by walking the grid descriptors
from one end position to the next (with "<trailing bytes>" appended when the last grid does not
end the file). "grids" holds, per grid,, per grid: name, type, class, metadata (name -> value), voxelSize,
origin (the world position of voxel (0, 0, 0)), active voxel count, the active bounding box and,
unless --no-values, every active voxel as [x, y, z, value]. Exits 1 with a message on stderr when
the library refuses the file.
"""
import json
import struct
import sys

try:
    import pyopenvdb as vdb
except ImportError:  # newer packagings name the module openvdb
    import openvdb as vdb


def plain(value):
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    return str(value)


def file_order(path):
    with open(path, "rb") as f:
        data = f.read()
    pos = 8 + 4 + 4 + 4 + 1 + 36  # magic, versions, offsets flag, uuid
    (file_meta,) = struct.unpack_from("<I", data, pos)
    if file_meta:
        return None  # our files carry no file metadata; walking past it is not needed
    (count,) = struct.unpack_from("<I", data, pos + 4)
    pos += 8
    names = []

    def string(at):
        (n,) = struct.unpack_from("<I", data, at)
        return data[at + 4:at + 4 + n].decode(), at + 4 + n

    for _ in range(count):
        name, pos = string(pos)
        _, pos = string(pos)  # type
        _, pos = string(pos)  # instance parent
        _, _, end = struct.unpack_from("<qqq", data, pos)
        names.append(name)
        pos = end
    if pos != len(data):
        names.append("<trailing bytes>")
    return names


def main():
    path = sys.argv[1]
    values = "--no-values" not in sys.argv[2:]
    try:
        grids, file_meta = vdb.readAll(path)
    except Exception as e:  # the library's own error types vary between versions
        print("read failed: %s" % e, file=sys.stderr)
        return 1
    out = {"fileOrder": file_order(path), "fileMetadata": {k: plain(v) for k, v in file_meta.items()}, "grids": []}
    for g in grids:
        info = {
            "name": g.name,
            "type": type(g).__name__,
            "class": g.gridClass,
            "metadata": {k: plain(v) for k, v in g.metadata.items()},
            "voxelSize": list(g.transform.voxelSize()),
            "origin": list(g.transform.indexToWorld((0, 0, 0))),
            "activeVoxelCount": g.activeVoxelCount(),
            "background": g.background,
        }
        if g.activeVoxelCount() > 0:
            lo, hi = g.evalActiveVoxelBoundingBox()
            info["bboxMin"], info["bboxMax"] = list(lo), list(hi)
        if values:
            voxels = []
            for item in g.citerOnValues():
                lo, hi = item["min"], item["max"]
                if lo != hi:  # an active tile: the writer never makes one, list its extent
                    voxels.append(["tile", list(lo), list(hi), item["value"]])
                else:
                    voxels.append([lo[0], lo[1], lo[2], item["value"]])
            info["voxels"] = voxels
        out["grids"].append(info)
    json.dump(out, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
