#!/usr/bin/env bash
# Installs what building and testing Tamsel needs on a fresh Debian machine.
# Packages already present are not fetched again, so a warm machine skips the
# network entirely. Needs root for apt-get.
set -euo pipefail

packages=(
  cmake g++ make python3 googletest          # native build and unit tests
  ntfs-3g ntfs-3g-dev libntfs-3g89            # NTFS images of the master file table tests (mkntfs, libntfs-3g)
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64  # tamsel.exe
  wine wine64                                 # running the Windows build here
  nodejs                                      # black-box tests; the page's bundler
  chromium                                    # browser tests (driven by playwright-core)
  libcurl4-openssl-dev openssl                # HTTPS in the native build; test certificates
  clang libclang-rt-14-dev                    # fuzzing (libFuzzer, tests/fuzz)
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# Debian's nodejs comes without npm; a nodejs that bundles its own npm (and
# conflicts with Debian's package) needs nothing more.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The page's bundler (esbuild, pinned by webui/package-lock.json): installed
# once from the npm registry; building needs no network afterwards.
webui="$(cd "$(dirname "$0")/../webui" && pwd)"
want=$(node -p "require('$webui/package.json').devDependencies.esbuild")
have=$(node -p "try { require('$webui/node_modules/esbuild/package.json').version } catch (e) { '' }")
if [ "$have" != "$want" ]; then
  echo "setup: installing esbuild $want into webui/node_modules"
  (cd "$webui" && npm ci --no-audit --no-fund)
fi
