#!/bin/sh
# Regenerates independent_decode.txt: writes the conformance streams with the build's
# write_sim_m4v_conformance_streams, decodes each with ffmpeg (errors are fatal) and records the
# stream checksum and sampled planes of ffmpeg's picture. The tests need neither ffmpeg nor this script.
# usage: make_reference.sh BUILD_DIR   (run from this directory)
set -e
tool="$1/bin/write_sim_m4v_conformance_streams"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" "$work" > "$work/list"
{
  echo "# ffmpeg -v error -err_detect aggressive+explode -f m4v -i NAME.m4v -fps_mode passthrough -f rawvideo -pix_fmt yuv420p"
  echo "# $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
  while read -r name width height; do
    ffmpeg -nostdin -v error -err_detect aggressive+explode -f m4v -i "$work/$name.m4v" -fps_mode passthrough \
      -f rawvideo -pix_fmt yuv420p "$work/$name.yuv"
    python3 - "$work/$name.m4v" "$work/$name.yuv" "$name" "$width" "$height" <<'PY'
import sys
stream, decoded, name, w, h = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
def fnv(b):
    x = 0xCBF29CE484222325
    for c in b:
        x = ((x ^ c) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return x
data = open(decoded, 'rb').read()
fs = w * h * 3 // 2
print("stream %s %016x frames %d" % (name, fnv(open(stream, 'rb').read()), len(data) // fs))
def samples(plane, count):
    return "".join("%02x" % plane[((i * 2654435761) & 0xFFFFFFFF) % len(plane)] for i in range(count))
for n in range(len(data) // fs):
    f = data[n * fs:(n + 1) * fs]
    y, u, v = f[:w * h], f[w * h:w * h * 5 // 4], f[w * h * 5 // 4:]
    print("frame %d %s %s %s" % (n, samples(y, 96), samples(u, 24), samples(v, 24)))
PY
  done < "$work/list"
} > independent_decode.txt
