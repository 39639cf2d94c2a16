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

# A second drive D: (a folder of the prefix) for the moves to another drive.
mkdir -p "$WINEPREFIX/drive_d"
[ -e "$WINEPREFIX/dosdevices/d:" ] || ln -s ../drive_d "$WINEPREFIX/dosdevices/d:"

if [ $prepare = 1 ]; then
  # The first Windows process of a session starts the prefix's services, and
  # they keep that process's standard handles open for as long as they live:
  # boot them from a process whose output goes nowhere, so that no test's
  # pipe is held open.
  "$wineserver_bin" -p60 </dev/null >/dev/null 2>&1 || true
  "$wine_bin" wineboot </dev/null >/dev/null 2>&1
  exit 0
fi

# The program's output goes through two named pipes, read by a `tr` for
# stdout and a `cat` for stderr, and the wrapper ends with the program's
# own exit status as soon as the program has ended and its output is read.
# It does not wait for the pipes to close: a process that the program
# caused wine to start, such as wine's desktop process (explorer.exe,
# started by the first program of a session that needs the desktop, and
# kept alive for as long as any other program uses it) or a service started
# on demand, inherits the program's standard handles and may hold them open
# long after the program ended. Waiting for that end of file made a
# finished test hang until ctest's time-out whenever other tests kept such
# a process alive. Those processes are wine's own and shared by every
# program in the prefix, so they are not killed: the wrapper stops reading
# and names them. With $TAMSEL_TEST_RESULTS set, each such case is also
# written to leftovers.log there, for the summary of the test run.
pipes=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -rf "$pipes"' EXIT
mkfifo "$pipes/out" "$pipes/err" || exit 1
stdbuf -o0 tr -d '\r' <"$pipes/out" &
out_reader=$!
cat <"$pipes/err" >&2 &
err_reader=$!
"$wine_bin" "$exe" "$@" >"$pipes/out" 2>"$pipes/err"
status=$?

# What the program wrote is in the pipes already; the readers need a moment
# to pass it on. Readers still running after that are waiting for an end of
# file that only the holders below can give.
drain_ticks=20  # of 0.1 s
for _ in $(seq "$drain_ticks"); do
  kill -0 "$out_reader" 2>/dev/null || kill -0 "$err_reader" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$out_reader" 2>/dev/null || kill -0 "$err_reader" 2>/dev/null; then
  holders=""
  for fd in $(find /proc/[0-9]*/fd -maxdepth 1 -lname "$pipes/*" 2>/dev/null); do
    pid=${fd#/proc/}
    pid=${pid%%/*}
    [ "$pid" = "$out_reader" ] || [ "$pid" = "$err_reader" ] || [ "$pid" = $$ ] && continue
    case " $holders " in *" $pid:"*) continue ;; esac
    holders="$holders $pid:$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | sed 's/ *$//')"
  done
  # A holder can come and go while the list is made (a service started on
  # demand); the readers stop in any case.
  holders=${holders:- (gone while looking)}
  echo "wine-run: $(basename "$exe") exited with $status; its output was still held open by:$holders" >&2
  if [ -n "${TAMSEL_TEST_RESULTS:-}" ]; then
    mkdir -p "$TAMSEL_TEST_RESULTS"
    echo "$(basename "$exe") $*:$holders" >>"$TAMSEL_TEST_RESULTS/leftovers.log"
  fi
  kill "$out_reader" "$err_reader" 2>/dev/null
fi
wait "$out_reader" "$err_reader" 2>/dev/null
exit $status
