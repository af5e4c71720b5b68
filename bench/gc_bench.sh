#!/usr/bin/env bash
# Garbage collection (dry run) over a store of many chunk objects and channels,
# on the local S3 test server: wall time, requests made, peak resident memory.
#
#   bench/gc_bench.sh [path/to/corvane-vorn]
#
# GC_BENCH_OBJECTS (10000) and GC_BENCH_CHANNELS (20) size the store. Each
# channel's manifest names a run of 500 chunk ids overlapping its neighbour's,
# so some chunks are shared and the rest of the objects are garbage. Objects
# are small: the figures measure listing and manifest reading, not transfer.
# The request count comes from counting the program's TCP connects (it opens
# one connection per request) in a second, traced run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/cli/corvane-vorn}
objects=${GC_BENCH_OBJECTS:-10000}
channels=${GC_BENCH_CHANNELS:-20}
[[ -x $bin ]] || { echo "gc_bench: no program at $bin (pass its path)" >&2; exit 2; }

work=$(mktemp -d)
source "$root/scripts/lib/test_server.sh"
cleanup() {
  stop_test_server
  rm -rf "$work"
}
trap cleanup EXIT

start_test_server "$work/data" "$work/server.log" bench BENCHKEY BENCHSECRET
port=$server_port

fill_start=$(date +%s.%N)
python3 "$root/bench/lib/s3_fill.py" "$objects" "$channels"
fill_end=$(date +%s.%N)

# Timed run: wall time and peak resident memory.
/usr/bin/time -f '%e %M %U %S' -o "$work/time" "$bin" gc >"$work/gc.out" 2>"$work/gc.err"
read -r wall peak_kb user_s sys_s <"$work/time"
summary=$(tail -n 1 "$work/gc.out")
garbage_lines=$(grep -c '^  garbage ' "$work/gc.out" || true)

# Traced run: one connect per request.
requests=-
if command -v strace >/dev/null; then
  strace -f -qq -e trace=connect -o "$work/trace" "$bin" gc >/dev/null 2>&1
  requests=$(grep -c "sin_port=htons($port)" "$work/trace" || true)
fi

pages=$(((objects + 999) / 1000))
echo "store:          $objects chunk objects, $channels channels (filled in $(echo "$fill_end - $fill_start" | bc) s)"
echo "gc summary:     $summary"
echo "garbage lines:  $garbage_lines"
echo "wall time:      $wall s (program cpu: $user_s s user, $sys_s s system)"
echo "peak memory:    $((peak_kb / 1024)) MiB ($peak_kb KiB)"
echo "requests made:  $requests (expected: 1 channel listing + $channels manifest gets + $pages chunk listing pages)"
if [[ $requests != - ]]; then
  echo "requests/s:     $(echo "scale=1; $requests / $wall" | bc)"
fi
