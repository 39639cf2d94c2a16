#!/usr/bin/env bash
# Browser tests of the interface: playwright-core driving Debian's chromium
# against build/native/tamsel, and one smoke run against
# build/windows/tamsel.exe under wine. Builds nothing. Installs what is
# missing: chromium (and a font with Chinese glyphs, so that the screenshots
# in build/screenshots/ are legible) from apt, the npm packages with npm ci.
# Extra arguments go to `node --test` (for example --test-name-pattern=clean).
set -euo pipefail
cd "$(dirname "$0")"

need=()
[ -x /usr/bin/chromium ] || need+=(chromium)
if ! dpkg -s fonts-wqy-microhei >/dev/null 2>&1 &&
   ! { command -v fc-list >/dev/null && fc-list :lang=zh | grep -q .; }; then
  need+=(fonts-wqy-microhei)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "browser tests: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi
[ -d node_modules ] || npm ci --no-audit --no-fund

node --test --test-concurrency=1 --test-timeout=900000 "$@" ./*.test.mjs
