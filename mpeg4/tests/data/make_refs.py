#!/usr/bin/env python3
"""Builds the reference files of the conformance streams from ffmpeg's decode.

For each stream NAME.m4v this writes NAME.ref (size, per-frame FNV-1a 64 checksums of the Y, U and
V planes of ffmpeg's yuv420p decode) and NAME.ysamp (for every STEP-th frame, the luma value at
SAMPLES fixed pseudo-random positions; position i is (i * 2654435761 mod 2^32) mod (w * h)). The
tests measure PSNR against these samples. Run from this folder; needs ffmpeg.
"""
import subprocess
import sys

STREAMS = [
    # name, width, height, samples per frame, frame step
    ("simple_352x240", 352, 240, 2048, 1),
    ("mv4_352x240", 352, 240, 2048, 1),
    ("qpel_352x240", 352, 240, 2048, 1),
    ("mpegquant_352x240", 352, 240, 2048, 1),
    ("interlaced_704x480", 704, 480, 4096, 1),
    ("interlaced_720x576", 720, 576, 4096, 1),
    ("longgop_352x240", 352, 240, 2048, 10),
    ("bare_704x480", 704, 480, 4096, 1),
    ("bare_352x240", 352, 240, 2048, 1),
]


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def strip_to_vops(src, dst):
    """Keeps only the VOP start-code units: a stream of bare VOPs."""
    data = open(src, "rb").read()
    starts = [i for i in range(len(data) - 3) if data[i:i + 3] == b"\0\0\1"]
    out = bytearray()
    for n, s in enumerate(starts):
        end = starts[n + 1] if n + 1 < len(starts) else len(data)
        if data[s + 3] == 0xB6:
            out += data[s:end]
    open(dst, "wb").write(out)


def main():
    strip_to_vops("bare_704x480_full.m4v", "bare_704x480.m4v")
    strip_to_vops("bare_352x240_full.m4v", "bare_352x240.m4v")
    for name, w, h, samples, step in STREAMS:
        src = name + "_full.m4v" if name.startswith("bare_") else name + ".m4v"
        raw = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1",
                              "-i", src, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"],
                             check=True, capture_output=True).stdout
        ysize, csize = w * h, (w // 2) * (h // 2)
        fsize = ysize + 2 * csize
        frames = len(raw) // fsize
        positions = [((i * 2654435761) & 0xFFFFFFFF) % ysize for i in range(samples)]
        with open(name + ".ref", "w") as ref, open(name + ".ysamp", "wb") as ys:
            ref.write("size %d %d\nframes %d\nsamples %d %d\n" % (w, h, frames, samples, step))
            for f in range(frames):
                frame = raw[f * fsize:(f + 1) * fsize]
                y, u, v = frame[:ysize], frame[ysize:ysize + csize], frame[ysize + csize:]
                ref.write("frame %d %016x %016x %016x\n" % (f, fnv1a64(y), fnv1a64(u), fnv1a64(v)))
                if f % step == 0:
                    ys.write(bytes(y[p] for p in positions))
    return 0


if __name__ == "__main__":
    sys.exit(main())
