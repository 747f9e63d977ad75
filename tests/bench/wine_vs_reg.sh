#!/bin/bash
# Times the whole Windows setup run under Wine against Wine's own importer on the same script:
# `drvsetup.exe -ns -ne` and `reg import SCRIPT`, each on a clean prefix (a copy of one template
# prefix, made with wineboot once and kept), alternating, RUNS runs each. Each copy gets a
# persistent wineserver (wineserver -p) started and warmed up before the timed command, so that
# the times are those of the two programs, not of the server's start-up. A third leg, `cmd /c exit`
# on a clean prefix, gives what any program costs to start under Wine; the net figures subtract it.
# Last, two empty programs, one of them importing user32, show what the load-time import of user32
# (for the message box) costs a run that shows none.
# Each time is given as wall time and as CPU time: the command's own (user and system, from its
# rusage) plus what the prefix's wineserver used meanwhile; the CPU figures suffer less from other
# work on the machine.
#
# usage: wine_vs_reg.sh [SETUP_EXE [SCRIPT [RUNS]]]
# The template lives in $DRVSETUP_BENCH_WINE_TEMPLATE (default ${TMPDIR:-/tmp}/drvsetup-bench-wine).
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
exe=${1:-$root/dist/windows/x86_64/drvsetup.exe}
script=${2:-$root/data/drivers.reg}
runs=${3:-10}
tmp=${TMPDIR:-/tmp}
template=${DRVSETUP_BENCH_WINE_TEMPLATE:-$tmp/drvsetup-bench-wine}

if [ ! -f "$exe" ]; then
  echo "wine run vs reg import: SKIPPED ($exe is not built; run make windows)"
  exit 0
fi
for program in wine wineserver wineboot; do
  if ! command -v "$program" >/dev/null; then
    echo "wine run vs reg import: SKIPPED ($program is not installed)"
    exit 0
  fi
done

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY WINEARCH

work=$(mktemp -d "$tmp/drvsetup-bench-wine-run-XXXXXX")
prefix="$work/prefix"
cleanup() {
  if [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

version=$(wine --version)
if [ "$(cat "$template/.drvsetup-bench-ready" 2>/dev/null)" != "$version" ]; then
  echo "wine: preparing the template prefix $template (once) ..."
  rm -rf "$template"
  if ! WINEPREFIX="$template" wineboot --init >"$work/wineboot.log" 2>&1; then
    echo "wine run vs reg import: FAILED (wineboot --init failed, see below)"
    tail -20 "$work/wineboot.log"
    exit 1
  fi
  WINEPREFIX="$template" wineserver -w
  echo "$version" >"$template/.drvsetup-bench-ready"
fi

# A clean prefix at the same path for every run: Wine's files hard-linked from the template (Wine
# replaces them, never rewrites them), the registry files and the marker copied for real.
fresh_prefix() {
  if [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
    rm -rf "$prefix"
  fi
  cp -al "$template" "$prefix"
  for file in "$template"/*.reg "$template"/.update-timestamp; do
    [ -f "$file" ] && cp --remove-destination "$file" "$prefix/"
  done
  WINEPREFIX="$prefix" wineserver -p
  WINEPREFIX="$prefix" wine cmd /c exit >/dev/null 2>&1
  find_server
}

# The wineserver of the current prefix copy, found by the WINEPREFIX it was started with.
find_server() {
  server_pid=""
  local pid
  for pid in $(pgrep wineserver); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
      server_pid=$pid
    fi
  done
}

# CPU seconds the wineserver has used so far (0 when it wasn't found).
server_cpu() {
  if [ -n "$server_pid" ] && [ -r "/proc/$server_pid/stat" ]; then
    awk -v hz="$(getconf CLK_TCK)" '{printf "%.3f", ($14 + $15) / hz}' "/proc/$server_pid/stat"
  else
    echo 0
  fi
}

# "WALL CPU": the seconds a command took and the CPU seconds it and the wineserver used, with its
# exit code checked against the expected one.
timed() {
  local expected=$1
  shift
  local status server_before server_after times
  server_before=$(server_cpu)
  local TIMEFORMAT="%3R %3U %3S"
  { time WINEPREFIX="$prefix" "$@" >"$work/out.log" 2>&1; } 2>"$work/time.log"
  status=$?
  server_after=$(server_cpu)
  if [ "$status" != "$expected" ]; then
    echo "wine run vs reg import: FAILED ($* exited with $status, expected $expected)" >&2
    cat "$work/out.log" >&2
    exit 1
  fi
  awk -v before="$server_before" -v after="$server_after" \
    '{printf "%.3f %.3f\n", $1, $2 + $3 + after - before}' "$work/time.log"
}

# The data version the run left in the prefix; 0x38 for the shipped script.
installed_version() {
  WINEPREFIX="$prefix" wine reg query 'HKLM\Software\kestrova\DRIVER2' /v DriverVersion 2>/dev/null |
    tr -d '\r' | awk '/DriverVersion/ {print $3}'
}

windows_script="Z:$(echo "$script" | tr '/' '\\')"
ours=() theirs=() starts=() ours_cpu=() theirs_cpu=() starts_cpu=()
for ((i = 1; i <= runs; i++)); do
  fresh_prefix
  read -r t0 c0 < <(timed 0 wine cmd /c exit) || exit 1
  fresh_prefix
  read -r t1 c1 < <(timed 0 wine "$exe" -ns -ne) || exit 1
  v1=$(installed_version)
  fresh_prefix
  read -r t2 c2 < <(timed 0 wine reg import "$windows_script") || exit 1
  v2=$(installed_version)
  if [ -z "$v1" ] || [ "$v1" != "$v2" ]; then
    echo "wine run vs reg import: FAILED (DriverVersion after drvsetup.exe '$v1'," \
      "after reg import '$v2')"
    exit 1
  fi
  echo "wine run $i: drvsetup.exe -ns -ne ${t1} s (CPU ${c1} s), reg import ${t2} s" \
    "(CPU ${c2} s), cmd /c exit ${t0} s (CPU ${c0} s); DriverVersion $v1 both"
  ours+=("$t1") theirs+=("$t2") starts+=("$t0")
  ours_cpu+=("$c1") theirs_cpu+=("$c2") starts_cpu+=("$c0")
done

median() {
  printf '%s\n' "$@" | sort -g |
    awk '{a[NR] = $1} END {if (NR % 2) print a[(NR + 1) / 2]; else printf "%.4f\n", (a[NR / 2] + a[NR / 2 + 1]) / 2}'
}
calc() { awk "BEGIN {printf \"%.3f\", $1}"; }
m1=$(median "${ours[@]}") m2=$(median "${theirs[@]}") m0=$(median "${starts[@]}")
n1=$(median "${ours_cpu[@]}") n2=$(median "${theirs_cpu[@]}") n0=$(median "${starts_cpu[@]}")
ratio=$(calc "$m1 / $m2")
cpu_ratio=$(calc "$n1 / $n2")
verdict=$(awk -v r="$ratio" 'BEGIN {print (r < 1 ? "aim met" : "aim missed")}')
echo "wine median of $runs, wall: drvsetup.exe -ns -ne $m1 s, reg import $m2 s, cmd /c exit $m0 s"
echo "wine median of $runs, CPU of the command and the wineserver: drvsetup.exe $n1 s," \
  "reg import $n2 s, cmd /c exit $n0 s; ratio $cpu_ratio"
echo "wine net of start-up (median less cmd /c exit's): drvsetup.exe $(calc "$m1 - $m0") s wall," \
  "$(calc "$n1 - $n0") s CPU; reg import $(calc "$m2 - $m0") s wall, $(calc "$n2 - $n0") s CPU"
echo "wine median ratio drvsetup.exe / reg import: $ratio (aim < 1: ours faster) $verdict"

# The cost of importing user32 at load time, on the last prefix (warm): two empty programs.
compiler=$(command -v x86_64-w64-mingw32-g++ || true)
if [ -z "$compiler" ]; then
  echo "wine user32 import cost: SKIPPED (no x86_64-w64-mingw32-g++)"
  exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
for name in empty_winmain user32_winmain; do
  "$compiler" -Os -s -mwindows "$here/$name.cpp" -o "$work/$name.exe" || exit 1
done
plain=() with_user32=() plain_cpu=() with_user32_cpu=()
for ((i = 1; i <= runs; i++)); do
  read -r t c < <(timed 0 wine "$work/empty_winmain.exe") || exit 1
  plain+=("$t") plain_cpu+=("$c")
  read -r t c < <(timed 0 wine "$work/user32_winmain.exe") || exit 1
  with_user32+=("$t") with_user32_cpu+=("$c")
done
p=$(median "${plain[@]}") u=$(median "${with_user32[@]}")
pc=$(median "${plain_cpu[@]}") uc=$(median "${with_user32_cpu[@]}")
echo "wine user32 import cost: empty program $p s ($pc s CPU), the same importing user32" \
  "$u s ($uc s CPU): +$(calc "$u - $p") s wall, +$(calc "$uc - $pc") s CPU per run"
