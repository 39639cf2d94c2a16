#!/usr/bin/env bash
# Every test of both builds: the unit tests natively (ASan + UBSan) and as
# Windows executables under wine, then the black-box tests against the native
# program and tamsel.exe under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The -svc variants point the web service at localhost, for the black-box
# tests of the update check and feedback delivery.
scripts/build.sh native windows native-svc windows-svc

status=0
export CTEST_OUTPUT_ON_FAILURE=1
(cd build/native && ctest -j"$(nproc)" --timeout 300) || status=1

# One wine server for the whole Windows run: each test then starts in a
# fraction of a second instead of half a second.
export TAMSEL_WINEPREFIX="$PWD/build/windows/wineprefix"
cmake/wine-run.sh --prepare build/windows/tamsel.exe
# wine now and then leaves a finished test process hanging at exit; such a
# test is run again rather than failing the whole run.
(cd build/windows && ctest -j"$(nproc)" --timeout 90 --repeat until-pass:3) || status=1

tests/fuzz/run.sh || status=1
tests/browser/run.sh || status=1
(cd tests/blackbox && node --test --test-concurrency=1 --test-timeout=600000) || status=1

if [ $status -eq 0 ]; then echo "test.sh: all tests passed"; else echo "test.sh: FAILURES"; fi
exit $status
