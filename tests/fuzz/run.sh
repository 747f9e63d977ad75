#!/bin/bash
# Runs each fuzz target for SECONDS seconds: run.sh BUILD_DIR SECONDS [TARGET...]
# The committed seeds (tests/fuzz/corpus/<target>) are read; what the run finds goes into
# BUILD_DIR/fuzz/corpus/<target>, crashing inputs into BUILD_DIR/fuzz/artifacts/<target>/.
# Exits non-zero when a target reports a finding.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run.sh BUILD_DIR SECONDS [TARGET...]}
# The fuzzer runs inside BUILD_DIR/fuzz, so every path handed to it must be absolute.
[ -d "$build" ] || { echo "run.sh: no build directory $build" >&2; exit 2; }
build=$(cd "$build" && pwd)
seconds=${2:-60}
shift 2 || shift $#
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(loader import options)
status=0
for t in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$t"
  if [ ! -x "$binary" ]; then
    echo "run.sh: $binary is missing; build the target 'fuzz' first" >&2
    exit 2
  fi
  work="$build/fuzz/corpus/$t"
  artifacts="$build/fuzz/artifacts/$t/"
  mkdir -p "$work" "$artifacts"
  extra=()
  [ -f "$here/$t.dict" ] && extra+=("-dict=$here/$t.dict")
  echo "== fuzz_$t for ${seconds}s"
  (cd "$build/fuzz" && nice -n 10 "$binary" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts" -max_len=4096 "${extra[@]}" "$work" "$here/corpus/$t") \
      >"$build/fuzz/$t.log" 2>&1
  rc=$?
  grep -E '^stat::number_of_executed_units|^stat::peak_rss|^#[0-9]+.*DONE' "$build/fuzz/$t.log"
  echo "   corpus: $(ls "$work" | wc -l) new inputs; log: $build/fuzz/$t.log"
  if [ $rc -ne 0 ]; then
    echo "   FINDING (exit $rc): see $artifacts and the log" >&2
    tail -n 30 "$build/fuzz/$t.log" >&2
    status=1
  fi
done
exit $status
