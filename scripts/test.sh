#!/usr/bin/env bash
# Every test of both builds: the unit tests natively (ASan + UBSan) and as
# Windows executables under wine, the page's own unit tests (tests/webui),
# then the browser and black-box tests against the native program and
# tamsel.exe under wine. Ends with a summary of every skipped
# test and its reason (scripts/test_summary.mjs), from the reports the runs
# leave in build/test-results/.
#
# Both builds are required; TAMSEL_BUILDS=native (or windows) limits a run
# to one of them on purpose, and the run says so. Each unit test's time-out
# is set where the tests are registered (tests/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

want() { [ -z "${TAMSEL_BUILDS:-}" ] || [[ ",$TAMSEL_BUILDS," == *",$1,"* ]]; }
presets=()
want native && presets+=(native native-svc)
want windows && presets+=(windows windows-svc)
if [ ${#presets[@]} -eq 0 ]; then
  echo "test.sh: TAMSEL_BUILDS=$TAMSEL_BUILDS names no build (native, windows)" >&2
  exit 2
fi
if [ -n "${TAMSEL_BUILDS:-}" ]; then
  echo "test.sh: TAMSEL_BUILDS=$TAMSEL_BUILDS: only these builds are tested"
fi
# The -svc variants point the web service at localhost, for the black-box
# tests of the update check and feedback delivery.
scripts/build.sh "${presets[@]}"

results="$PWD/build/test-results"
rm -rf "$results"
mkdir -p "$results"
# node's report (TAP) on the console, and a copy in a file for the summary.
node_reports=(--test-reporter=tap --test-reporter-destination=stdout)

status=0
export CTEST_OUTPUT_ON_FAILURE=1
if want native; then
  (cd build/native && ctest -j"$(nproc)" --output-junit "$results/native-ctest.xml") || status=1
fi

if want windows; then
  # One wine server for the whole Windows run: each test then starts in a
  # fraction of a second instead of half a second. The wrapper ctest runs
  # for each test notes here each test whose output wine's processes held
  # open after it ended.
  export TAMSEL_WINEPREFIX="$PWD/build/windows/wineprefix"
  export TAMSEL_TEST_RESULTS="$results"
  cmake/wine-run.sh --prepare build/windows/tamsel.exe
  (cd build/windows && ctest -j"$(nproc)" --output-junit "$results/windows-ctest.xml") || status=1
fi

tests/fuzz/run.sh || status=1
(cd tests/webui && node --test "${node_reports[@]}" --test-reporter=tap \
  --test-reporter-destination="$results/webui.tap" ./*.test.mjs) || status=1
tests/browser/run.sh "${node_reports[@]}" --test-reporter=tap \
  --test-reporter-destination="$results/browser.tap" || status=1
(cd tests/blackbox && node --test --test-concurrency=1 --test-timeout=600000 "${node_reports[@]}" \
  --test-reporter=tap --test-reporter-destination="$results/blackbox.tap") || status=1

node scripts/test_summary.mjs "$results" || status=1
if [ -n "${TAMSEL_BUILDS:-}" ]; then
  echo "test.sh: TAMSEL_BUILDS=$TAMSEL_BUILDS: the other builds were not tested"
fi
if [ $status -eq 0 ]; then echo "test.sh: all tests passed"; else echo "test.sh: FAILURES"; fi
exit $status
