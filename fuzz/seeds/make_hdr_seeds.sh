#!/usr/bin/env bash
# Writes the seed corpus of the hdr fuzz target: files written by oiiotool (flat and run-length
# scanlines) and hand-made files near each limit of the reader. Needs oiiotool (openimageio-tools).
set -euo pipefail
cd "$(dirname "$0")/hdr"
rm -f ./*.hdr
oiiotool --pattern checker:width=2:height=2 5x4 3 -o oiio_flat_5x4.hdr
oiiotool --pattern fill:topleft=0,0,0:topright=1,0.5,0:bottomleft=0,1,0.25:bottomright=4,2,1 40x6 3 -o oiio_rle_40x6.hdr
oiiotool --pattern constant:color=0.5,0.25,2 300x2 3 -o oiio_rle_runs_300x2.hdr
oiiotool --pattern noise:min=0:max=8 16x3 3 -o oiio_rle_noise_16x3.hdr
python3 - <<'PY'
def write(name, header, resolution, data):
    with open(name, "wb") as f:
        f.write(b"#?RADIANCE\n" + header + b"\n" + resolution + b"\n" + bytes(data))

pixel = [10, 20, 30, 128]
# Every orientation, flat 3 x 2.
for i, line in enumerate([b"-Y 2 +X 3", b"+Y 2 -X 3", b"+X 3 -Y 2", b"-X 3 +Y 2"]):
    write("orientation_%d.hdr" % i, b"EXPOSURE=2\nGAMMA=2.2\n", line, pixel * 6)
# Repeat markers whose shift grows by 8: 1 + 255 + 15 * 256 = 4096 pixels per scanline, 12 bytes each.
row = [5, 6, 7, 130, 1, 1, 1, 255, 1, 1, 1, 15]
write("repeats_at_limit_64x4096.hdr", b"FORMAT=32-bit_rle_rgbe\n", b"-Y 64 +X 4096", row * 64)  # 1 MiB
write("repeats_over_limit_65x4096.hdr", b"", b"-Y 65 +X 4096", row * 65)
write("columns_4096x64.hdr", b"", b"+X 64 -Y 4096", row * 64)
# Run-length scanlines: runs and literals that end exactly at the scanline's end, one that passes it.
rle = [2, 2, 0, 10, 138, 50, 10] + list(range(10)) + [132, 9, 6, 1, 2, 3, 4, 5, 6, 138, 130]
write("rle_exact.hdr", b"", b"+Y 1 +X 10", rle)
write("rle_past_end.hdr", b"", b"+Y 1 +X 10", rle[:4] + [139] + rle[5:])
write("rle_truncated.hdr", b"", b"+Y 2 +X 10", rle)
write("flat_pixel_2_2.hdr", b"", b"+Y 1 +X 2", [2, 2, 200, 130, 1, 1, 1, 1])
write("shift_overflow.hdr", b"", b"-Y 1 +X 4", [5, 6, 7, 130] + [1, 1, 1, 0] * 5 + [1, 1, 1, 9])
write("huge_claim.hdr", b"", b"-Y 2147483647 +X 2147483647", pixel)
PY
