#!/usr/bin/env bash
# Builds the NTFS images of the master file table tests into OUT (no mount):
# the image tool from ntfs_image.c against libntfs-3g, then a 64 MB volume
# from mkntfs filled by the tool, and the tree the library itself lists for
# it (the tests' oracle). A missing tool or library fails: scripts/setup.sh
# installs them (ntfs-3g, ntfs-3g-dev).
set -euo pipefail
out="$1"
here="$(cd "$(dirname "$0")" && pwd)"
for tool in mkntfs cc; do
  command -v "$tool" >/dev/null || { echo "make_images: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -f /usr/include/ntfs-3g/volume.h ] || { echo "make_images: libntfs-3g headers are missing (ntfs-3g-dev; scripts/setup.sh installs it)" >&2; exit 1; }
mkdir -p "$out"
cc -O1 -o "$out/ntfs_image" "$here/ntfs_image.c" -lntfs-3g
make_one() { # name size-MB files cluster
  rm -f "$out/$1.img"
  truncate -s "$2M" "$out/$1.img"
  mkntfs -F -f -q -c "$4" "$out/$1.img" >/dev/null 2>&1
  "$out/ntfs_image" make "$out/$1.img" "$3"
  "$out/ntfs_image" list "$out/$1.img" > "$out/$1.list"
}
make_one good 24 3000 4096
# A volume so small that its table grows out of its zone in many pieces.
# Clusters of 512 bytes: records of two clusters, and a table that grows in
# many small steps.
make_one small 32 1500 512
echo "make_images: $(wc -l < "$out/good.list") and $(wc -l < "$out/small.list") names listed"
