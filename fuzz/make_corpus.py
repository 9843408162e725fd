#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/make_corpus.py <output-dir>.

Every seed is generated here from fixed seeds, nothing is downloaded. The structured targets (mesh, mesh
removal, cloud, depth) decode their bytes with a data provider, so their seeds are byte strings of assorted
lengths and patterns. The readers target takes a selector byte followed by a file: its seeds are small
well-formed files of every format (camera_info YAML, PLY ascii and binary, OBJ, STL ascii and binary, PCD
ascii, binary and compressed, 16-bit and 8-bit PNG, matrix and vector arguments), which the fuzzer then mutates.
"""
import os
import random
import struct
import sys
import zlib

STRUCTURED = ["mesh", "mesh_removal", "cloud", "depth"]


def structured_seeds(rng):
    seeds = [b"", b"\x00" * 64, b"\xff" * 64, bytes(range(256))]
    for length in (8, 16, 32, 64, 128, 256, 512, 1024, 2048):
        for _ in range(3):
            seeds.append(bytes(rng.getrandbits(8) for _ in range(length)))
    return seeds


TETRA = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
TETRA_FACES = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]


def camera_info():
    return (b"image_width: 640\nimage_height: 480\ncamera_name: depth\n"
            b"camera_matrix:\n  rows: 3\n  cols: 3\n  data: [500, 0, 320, 0, 500, 240, 0, 0, 1]\n"
            b"distortion_model: plumb_bob\n"
            b"distortion_coefficients:\n  rows: 1\n  cols: 5\n  data: [0.1, -0.05, 0.001, 0.002, 0]\n")


def ply_ascii():
    lines = ["ply", "format ascii 1.0", "element vertex 4", "property float x", "property float y",
             "property float z", "element face 4", "property list uchar int vertex_indices", "end_header"]
    lines += ["%g %g %g" % v for v in TETRA]
    lines += ["3 %d %d %d" % f for f in TETRA_FACES]
    return ("\n".join(lines) + "\n").encode()


def ply_binary():
    header = ("ply\nformat binary_little_endian 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
              "property float z\nelement face 4\nproperty list uchar int vertex_indices\nend_header\n").encode()
    body = b"".join(struct.pack("<3f", *v) for v in TETRA)
    body += b"".join(struct.pack("<B3i", 3, *f) for f in TETRA_FACES)
    return header + body


def obj():
    lines = ["v %g %g %g" % v for v in TETRA] + ["f %d %d %d" % tuple(i + 1 for i in f) for f in TETRA_FACES]
    lines.append("f 1 2 3 4")  # a quad, split into a fan by the reader
    return ("\n".join(lines) + "\n").encode()


def stl_ascii():
    out = ["solid tetra"]
    for f in TETRA_FACES:
        out.append("facet normal 0 0 0\nouter loop")
        out += ["vertex %g %g %g" % TETRA[i] for i in f]
        out.append("endloop\nendfacet")
    out.append("endsolid tetra")
    return ("\n".join(out) + "\n").encode()


def stl_binary():
    data = b"\x00" * 80 + struct.pack("<I", len(TETRA_FACES))
    for f in TETRA_FACES:
        data += struct.pack("<3f", 0, 0, 0) + b"".join(struct.pack("<3f", *TETRA[i]) for i in f) + b"\x00\x00"
    return data


def pcd(binary):
    points = TETRA + [(float("nan"),) * 3]
    header = ("# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n"
              "COUNT 1 1 1\nWIDTH %d\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS %d\nDATA %s\n"
              % (len(points), len(points), "binary" if binary else "ascii")).encode()
    if binary:
        return header + b"".join(struct.pack("<3f", *p) for p in points)
    return header + "".join("%g %g %g\n" % p for p in points).encode()


def pcd_compressed(points):
    """binary_compressed PCD: the fields stored one after another, packed as LZF literal runs."""
    header = ("VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH %d\nHEIGHT 1\n"
              "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS %d\nDATA binary_compressed\n" % (len(points), len(points))).encode()
    raw = b"".join(struct.pack("<%df" % len(points), *(p[axis] for p in points)) for axis in range(3))
    packed = b"".join(bytes([len(raw[i:i + 32]) - 1]) + raw[i:i + 32] for i in range(0, len(raw), 32))
    return header + struct.pack("<II", len(packed), len(raw)) + packed


def obj_with_normals():
    """An octahedron with one normal per face: more normals than vertices."""
    corners = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    faces = [(1, 3, 5), (3, 2, 5), (2, 4, 5), (4, 1, 5), (3, 1, 6), (2, 3, 6), (4, 2, 6), (1, 4, 6)]
    lines = ["v %d %d %d" % c for c in corners] + ["vn 0.577 0.577 0.577"] * len(faces)
    lines += ["f %d//%d %d//%d %d//%d" % (a, n + 1, b, n + 1, c, n + 1) for n, (a, b, c) in enumerate(faces)]
    return ("\n".join(lines) + "\n").encode()


def ply_grid():
    """ascii PLY of a 2 x 2 range grid with one empty cell."""
    return (b"ply\nformat ascii 1.0\nobj_info num_cols 2\nobj_info num_rows 2\nelement vertex 3\n"
            b"property float x\nproperty float y\nproperty float z\nelement range_grid 4\n"
            b"property list uchar int vertex_indices\nelement face 1\nproperty list uchar int vertex_indices\n"
            b"end_header\n0 0 0\n1 0 0\n0 1 0\n1 0\n1 1\n1 2\n0\n3 0 1 2\n")


def png(width, height, bit_depth, values):
    def chunk(kind, payload):
        return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))
    raw = b""
    fmt = ">H" if bit_depth == 16 else ">B"
    for row in range(height):
        raw += b"\x00" + b"".join(struct.pack(fmt, values[row * width + col]) for col in range(width))
    ihdr = struct.pack(">IIBBBBB", width, height, bit_depth, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def reader_seeds():
    return [
        b"\x00" + camera_info(),
        b"\x01" + ply_ascii(),
        b"\x01" + ply_binary(),
        b"\x02" + obj(),
        b"\x03" + stl_ascii(),
        b"\x03" + stl_binary(),
        b"\x04" + pcd(False),
        b"\x04" + pcd(True),
        b"\x04" + pcd_compressed(TETRA),
        b"\x02" + obj_with_normals(),
        b"\x01" + ply_grid(),
        b"\x05" + png(4, 3, 16, [0, 1000, 2000, 65535, 0, 1, 2, 3, 500, 600, 700, 800]),
        b"\x05" + png(2, 2, 8, [0, 10, 20, 30]),
        b"\x06" + b"1 0 0 0.1\n0 1 0 0.2\n0 0 1 0.3\n0 0 0 1\n",
        b"\x06" + b"[1, 0, 0, 0; 0, 1, 0, 0; 0, 0, 1, 0; 0, 0, 0, 1]",
        b"\x07" + b"0.1, 0.2, 0.3",
        # The sensor_msgs/CameraInfo message as ROS 2 dumps it, and a cloud of doubles.
        b"\x00" + b"height: 480\nwidth: 640\ndistortion_model: plumb_bob\nd: [0.1, -0.05, 0.001, 0.002, 0]\n"
        b"k: [500, 0, 320, 0, 500, 240, 0, 0, 1]\n---\n",
        b"\x04" + b"VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\n"
        b"POINTS 2\nDATA binary\n" + struct.pack("<6d", 0.5, -1.25, 3.0, 1e300, 0.0, -2.0),
    ]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py <output-dir>")
    root = sys.argv[1]
    rng = random.Random(20261207)
    corpora = {name: structured_seeds(rng) for name in STRUCTURED}
    corpora["readers"] = reader_seeds()
    for name, seeds in corpora.items():
        directory = os.path.join(root, name)
        os.makedirs(directory, exist_ok=True)
        for index, seed in enumerate(seeds):
            with open(os.path.join(directory, "seed-%03d" % index), "wb") as f:
                f.write(seed)
    print("seed corpora written to %s: %s" % (root, ", ".join("%s %d" % (k, len(v)) for k, v in corpora.items())))


if __name__ == "__main__":
    main()
