#!/usr/bin/env bash
# Runs a Windows executable under wine 8 in a prefix of its own, never ~/.wine.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#   wine-run.sh --prepare PROGRAM.exe    makes the prefix, keeps a wineserver
#                                        running for 60 s past its last client
#                                        and boots the prefix's services
#
# The prefix is $TAMSEL_WINEPREFIX, or "wineprefix" in the build directory
# that holds PROGRAM (the nearest folder above it with a CMakeCache.txt). It is
# made on first use; its home is a folder beside it, so nothing reaches the
# real home directory. Carriage returns are stripped from what the program
# prints, since a GUI-subsystem program writes "\n" as "\r\n", unbuffered so
# that a server's start-up lines arrive as they are printed.
set -u
prepare=0
if [ "${1:-}" = --prepare ]; then prepare=1; shift; fi
exe=$1; shift
wine_bin=/usr/lib/wine/wine64
wineserver_bin=/usr/lib/wine/wineserver

if [ -z "${TAMSEL_WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$exe")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(cd "$(dirname "$exe")" && pwd)
  TAMSEL_WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX="$TAMSEL_WINEPREFIX"
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME="$WINEPREFIX.home" XDG_DATA_HOME="$WINEPREFIX.home/data"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME" "$XDG_DATA_HOME"

if [ ! -f "$WINEPREFIX/.tamsel-ready" ]; then
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.tamsel-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine_bin" wineboot -i >/dev/null 2>&1
    "$wineserver_bin" -w
    # A new prefix links the user's shell folders to $HOME: make them real
    # folders so that tests never write into a home directory.
    for d in "$WINEPREFIX"/drive_c/users/*/; do
      for f in Desktop Documents Downloads Music Pictures Videos Templates; do
        if [ -L "$d$f" ]; then rm -f "$d$f"; mkdir -p "$d$f"; fi
      done
    done
    touch "$WINEPREFIX/.tamsel-ready"
  fi
  exec 9>&-
fi

if [ $prepare = 1 ]; then
  # The first Windows process of a session starts the prefix's services, and
  # they keep that process's standard handles open for as long as they live:
  # boot them from a process whose output goes nowhere, so that no test's
  # pipe is held open.
  "$wineserver_bin" -p60 2>/dev/null || true
  "$wine_bin" wineboot </dev/null >/dev/null 2>&1
  exit 0
fi

set -o pipefail
"$wine_bin" "$exe" "$@" | stdbuf -o0 tr -d '\r'
