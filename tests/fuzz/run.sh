#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset "fuzz") and runs each for a bounded
# time on a scratch copy of its seed corpus, so that the inputs it discovers
# never land in the repository. Fails when a harness reports a crash, a
# sanitizer error, a leak, a time-out or a broken invariant; the input that
# did it is kept under build/fuzz/findings/<harness>/.
#
#   tests/fuzz/run.sh                  every harness, FUZZ_SECONDS each (60)
#   FUZZ_SECONDS=600 tests/fuzz/run.sh request text
#
# Reproduce a finding: build/fuzz/tests/fuzz/fuzz_<harness> <file>
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-60}
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(request text rules paths mft)

cmake --preset fuzz >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]}" >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
for h in "${harnesses[@]}"; do
  work="$scratch/$h"
  findings="build/fuzz/findings/$h"
  mkdir -p "$work/corpus" "$work/tmp" "$findings"
  cp tests/fuzz/corpus/"$h"/* "$work/corpus/"
  dict=()
  [ -f "tests/fuzz/$h.dict" ] && dict=(-dict="tests/fuzz/$h.dict")
  # -timeout: one input taking this long is a hang. -max_len: well past the
  # largest seed, well inside the server's head limit (the table reader's
  # seeds are the start of a volume, 48 records long).
  maxlen=16384
  [ "$h" = mft ] && maxlen=65536
  if TMPDIR="$work/tmp" "build/fuzz/tests/fuzz/fuzz_$h" "$work/corpus" \
      -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len="$maxlen" \
      -artifact_prefix="$findings/" -print_final_stats=1 "${dict[@]}" >"$work/log" 2>&1; then
    stats=$(grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$work/log" |
            sed 's/^stat:://' | tr -s ' \n' ' ')
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$work/log" | tail -1)
    echo "fuzz_$h: ok, ${seconds}s, $cov, $stats"
  else
    status=1
    echo "fuzz_$h: FAILED; input kept in $findings/"
    cp "$work/log" "$findings/log.txt"
    grep -E -A40 'INVARIANT BROKEN|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|SUMMARY' \
      "$work/log" | head -80 || tail -40 "$work/log"
  fi
done
exit $status
