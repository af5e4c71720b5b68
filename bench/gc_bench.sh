#!/usr/bin/env bash
# Garbage collection (dry run) over a store of many chunk objects and channels,
# on the local S3 test server: wall time, requests made, peak resident memory.
#
#   bench/gc_bench.sh [path/to/corvane-vorn]
#   bench/gc_bench.sh --grace [path/to/corvane-vorn]
#
# --grace measures a two-phase collection instead: 2,000 garbage objects (of
# 3,000, two channels naming the rest) set aside by one `gc --delete --grace 1
# --jobs 8` run and finished by a second one after a third channel has come to
# name 1,000 of them (1,000 put back, 1,000 deleted), beside the one-pass
# `gc --delete --jobs 8` of the same store. Requests are counted by the test
# server's fault layer, which every run goes through (no fault rules).
#
# GC_BENCH_OBJECTS (10000) and GC_BENCH_CHANNELS (20) size the store. Each
# channel's manifest names a run of 500 chunk ids overlapping its neighbour's,
# so some chunks are shared and the rest of the objects are garbage. Objects
# are small: the figures measure listing and manifest reading, not transfer.
# The request count comes from counting the program's TCP connects (it opens
# one connection per request) in a second, traced run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
grace=0
if [[ ${1:-} == --grace ]]; then
  grace=1
  shift
fi
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

if [[ $grace == 1 ]]; then
  source "$root/bench/lib/common.sh"
  direct=$VORN_S3_ENDPOINT
  fill() { VORN_S3_ENDPOINT=$direct python3 "$root/bench/lib/s3_fill.py" 3000 2; }
  export VORN_S3_ENDPOINT=$(proxy_endpoint)
  set_proxy_delay 0
  # One timed run: "seconds requests", and its output in $work/run.out.
  timed() {
    local before after start end
    before=$(proxy_requests)
    start=$(date +%s.%N)
    "$bin" "$@" >"$work/run.out" 2>"$work/run.err" || { cat "$work/run.err" >&2; exit 1; }
    end=$(date +%s.%N)
    after=$(proxy_requests)
    echo "$(echo "$end - $start" | bc) $((after - before))"
  }
  empty_store() { "$bin" gc --delete >/dev/null; }
  # Names chunk ids 500..1499 of the fill (garbage of its two channels) in a third manifest.
  revive() {
    python3 - "$work/revived.json" <<'PY'
import hashlib, json, sys
ids = [hashlib.sha256(str(i).encode()).hexdigest() for i in range(500, 1500)]
files = [{"chunks": [{"h": h, "n": 256}], "path": f"f{n}", "size": 256} for n, h in enumerate(ids)]
json.dump({"build": "1" * 64, "channel": "revived", "created": 0, "files": files, "schema": 1},
          open(sys.argv[1], "w"))
PY
    "$bin" storage put channels/revived/manifest.json "$work/revived.json" >/dev/null
  }
  fill
  read -r plain_s plain_n < <(timed gc --delete --jobs 8)
  plain_summary=$(tail -n 1 "$work/run.out")
  "$bin" storage remove channels/ch0/manifest.json >/dev/null
  "$bin" storage remove channels/ch1/manifest.json >/dev/null
  empty_store
  fill
  sleep 2
  read -r aside_s aside_n < <(timed gc --delete --grace 1 --jobs 8)
  aside_summary=$(tail -n 1 "$work/run.out")
  revive
  sleep 2
  read -r finish_s finish_n < <(timed gc --delete --grace 1 --jobs 8)
  finish_summary=$(grep '^gc: finished' "$work/run.out")
  echo "store:              3000 chunk objects, 2 channels naming 1000 of them: 2000 garbage"
  echo "one pass:           $plain_s s, $plain_n requests   ($plain_summary)"
  echo "set aside:          $aside_s s, $aside_n requests   ($aside_summary)"
  echo "finish (+1 channel): $finish_s s, $finish_n requests   ($finish_summary)"
  echo "machine:            $(machine_line); load $(load_line)"
  exit 0
fi

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
