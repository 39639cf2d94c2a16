#!/usr/bin/env bash
# The benchmark: builds the native release (and the Windows program, for its
# size), plants a 200,000-file tree in a temporary stand-in drive, measures
# scan, space map, clean, HTTP, start-up and memory against the reference
# tools in the same run (du, find, rm, nginx with wrk, dd), reads the master
# file table of an NTFS image of as many files (mkntfs, libntfs-3g), maps a second tree of
# 1,000,000 files, and prints one table. Takes about twenty minutes on an idle
# machine. Options go to bench/bench.py (--runs, --scan-runs, --clean-runs,
# --map-runs, --big-map-runs, --map-queries, --wrk-seconds, --files, --dirs,
# --map-files, --map-dirs, --map-wide, --baseline-exe, --move-files, --move-dirs,
# --move-bytes, --only scan,map,mft,clean,http,start,move,memory,size); --no-build
# skips the builds. Needs root for apt-get on a
# fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
args=()
for a in "$@"; do
  case "$a" in
    --no-build) build=0 ;;
    *) args+=("$a") ;;
  esac
done

if [ $build -eq 1 ]; then scripts/setup.sh; fi

# The reference tools. nginx-light is enough; any nginx package will do.
missing=()
for p in wrk python3; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ! command -v nginx >/dev/null 2>&1 && ! [ -x /usr/sbin/nginx ]; then missing+=(nginx-light); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
export PATH="$PATH:/usr/sbin"

builddir="${TAMSEL_BENCH_BUILD:-build/native-release}"
if [ $build -eq 1 ]; then
  cmake --preset native-release >/dev/null
  cmake --build --preset native-release -j"$(nproc)" --target tamsel bench_engine bench_tool
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j"$(nproc)" --target tamsel
fi

exec python3 bench/bench.py --build "$builddir" --exe build/windows/tamsel.exe "${args[@]}"
