#!/usr/bin/env bash
# Sync and verify benchmark against the local S3 test server, on the build-like
# tree of bench/push_bench.sh (about 1 GiB by default) and its 5% change:
#   1. sync into an empty directory;
#   2. re-sync that directory with nothing changed;
#   3. after the 5% change is pushed, sync into a new directory with --base
#      holding the previous build;
#   4. full verify.
#
#   bench/sync_bench.sh [--cli PATH] [--size-mib N] [--work DIR] [--keep]
#                       [--repeat N] [--compare PATH]
#
# Each run reports wall time, MB/s of output (tree bytes / wall), bytes
# downloaded, requests made (connect calls to the store) and peak resident
# memory, next to its limit measured in the same run from the same bytes:
#   empty sync:  curl GET of every distinct chunk object (one request each),
#                zstd -d over them, BLAKE3 over the output, writing it;
#   re-sync / seeded sync: read + boundary scan + BLAKE3 + write over the tree
#                (scan = "corvane-vorn chunk" time minus read and BLAKE3), plus
#                the GET and zstd -d of the changed chunks for the seeded sync;
#   verify:      read + BLAKE3 over the tree.
# A limit is bytes / (sum of the stage times). With --repeat N every run and
# every stage is done N times and the best time kept (a busy machine only ever
# slows things down). --compare PATH runs a second build of the program right
# after the first in each repeat, on the same data, and reports it beside the
# first. MB = 10^6 bytes. Needs node
# (with tests/s3/node_modules), python3, zstd, curl, strace, GNU time and cc.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="$here/build/cli/corvane-vorn"
size_mib=1024
work=""
keep=0
repeat=1
compare=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --compare) compare="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ -x "$cli" ] || { echo "no program at $cli (use --cli)" >&2; exit 2; }
[ -z "$compare" ] || [ -x "$compare" ] || { echo "no program at $compare (--compare)" >&2; exit 2; }
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "--repeat needs a positive count" >&2; exit 2; }
for tool in node python3 zstd curl strace /usr/bin/time cc; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done
blake3_lib="$(find "$(dirname "$(dirname "$cli")")" -name 'libvorn_blake3.a' | head -n1)"
blake3_inc="$(ls -d /usr/share/cargo/registry/blake3-*/c 2>/dev/null | sort -r | head -n1)"
[ -n "$blake3_lib" ] && [ -n "$blake3_inc" ] || { echo "BLAKE3 library or headers not found" >&2; exit 2; }

if [ -z "$work" ]; then work="$(mktemp -d /tmp/vorn-sync-bench.XXXXXX)"; fi
mkdir -p "$work"
source "$here/scripts/lib/test_server.sh"
source "$here/bench/lib/common.sh"
cleanup() {
  stop_test_server
  if [ "$keep" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

# --- tools: a BLAKE3 probe ---------------------------------------------------
cat >"$work/b3probe.c" <<'EOF'
/* BLAKE3 over every file named, 1 MiB at a time; prints the bytes hashed. */
#include <stdio.h>
#include "blake3.h"
int main(int argc, char** argv) {
  static unsigned char buf[1 << 20];
  unsigned long long total = 0;
  for (int i = 1; i < argc; ++i) {
    FILE* f = fopen(argv[i], "rb");
    if (!f) continue;
    blake3_hasher h;
    blake3_hasher_init(&h);
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) { blake3_hasher_update(&h, buf, n); total += n; }
    unsigned char out[32];
    blake3_hasher_finalize(&h, out, 32);
    fclose(f);
  }
  printf("%llu\n", total);
  return 0;
}
EOF
cc -O2 -I"$blake3_inc" -o "$work/b3probe" "$work/b3probe.c" "$blake3_lib"

cat >"$work/ids.py" <<'EOF'
import json, sys
def ids(m):
    out = {}
    for e in json.load(open(m))['files']:
        for c in e['chunks']:
            out[c['h']] = c['n']
    return out
if sys.argv[1] == 'all':
    for h, n in sorted(ids(sys.argv[2]).items()): print(h, n)
else:  # new: ids in the second manifest only
    old = ids(sys.argv[2])
    for h, n in sorted(ids(sys.argv[3]).items()):
        if h not in old: print(h, n)
EOF

now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2 - $1:.3f}')"; }
sum() { python3 -c "print(f'{$(IFS=+; echo "$*"):.3f}')"; }

# --- the tree and the store ---------------------------------------------------
tree="$work/tree"
echo "generating a ${size_mib} MiB tree ..." >&2
python3 "$here/bench/treegen.py" generate "$tree" "$size_mib"
tree_bytes=$(du -sb --apparent-size "$tree" | cut -f1)

start_test_server "$work/s3data" "$work/s3.log" vorn-bench BENCHKEY BENCHSECRET

echo "pushing ..." >&2
"$cli" push "$tree" bench >/dev/null
"$cli" storage get channels/bench/manifest.json "$work/m1.json" >/dev/null

# Runs one program under GNU time and strace: run_once name program args...;
# sets one_wall, one_rss_mib, one_requests, one_summary.
run_once() {
  local name="$1" program="$2"
  shift 2
  /usr/bin/time -f '%e %M' -o "$work/$name.time" \
    strace -f --seccomp-bpf -e trace=connect -o "$work/$name.trace" \
    "$program" "$@" >"$work/$name.out" 2>"$work/$name.err" || {
    echo "$name failed:" >&2
    cat "$work/$name.err" >&2
    exit 1
  }
  local rss_kib
  read -r one_wall rss_kib <"$work/$name.time"
  one_rss_mib=$((rss_kib / 1024))
  one_requests=$(grep -c "sin_port=htons($server_port)" "$work/$name.trace" || true)
  one_summary=$(grep -E '^(synced|verified)' "$work/$name.out" | head -n1)
}
less_than() { python3 -c "import sys; sys.exit(0 if $1 < $2 else 1)"; }

# Runs the program (and the --compare program, alternating) $repeat times,
# calling $prepare before each run; keeps the run with the best wall time.
# Sets wall, rss_mib, requests, summary and c_wall, c_rss_mib, c_summary.
prepare=:
measure() {
  local name="$1"
  shift
  local i
  wall="" c_wall="" c_rss_mib="" c_summary=""
  for ((i = 0; i < repeat; i++)); do
    $prepare
    run_once "$name" "$cli" "$@"
    if [ -z "$wall" ] || less_than "$one_wall" "$wall"; then
      wall=$one_wall rss_mib=$one_rss_mib requests=$one_requests summary=$one_summary
    fi
    if [ -n "$compare" ]; then
      $prepare
      run_once "$name.compare" "$compare" "$@"
      if [ -z "$c_wall" ] || less_than "$one_wall" "$c_wall"; then
        c_wall=$one_wall c_rss_mib=$one_rss_mib c_summary=$one_summary
      fi
    fi
  done
}
# Calls "$1" (a command line) $repeat times and keeps the smallest value seen
# of each variable named in "$2".
best_of() {
  local call="$1" names="$2" i name
  local -A low=()
  for ((i = 0; i < repeat; i++)); do
    eval "$call"
    for name in $names; do
      if [ -z "${low[$name]:-}" ] || less_than "${!name}" "${low[$name]}"; then low[$name]=${!name}; fi
    done
  done
  for name in $names; do printf -v "$name" '%s' "${low[$name]}"; done
}
wire_of() { echo "$1" | sed -n 's/.* downloaded (\([0-9]*\) bytes on the wire.*/\1/p'; }

# GET (one curl request per object, presigned), then zstd -d, of the chunks
# listed in $1 ("id size" lines); sets get_s, unpack_s, out_dir, got_bytes.
fetch_and_unpack() {
  local list="$1" tag="$2"
  local cfg="$work/$tag.curl" objs="$work/$tag.objs"
  out_dir="$work/$tag.unpacked"
  rm -rf "$objs" "$out_dir"
  mkdir -p "$objs" "$out_dir"
  : >"$cfg"
  while read -r id _; do
    printf 'url = "%s"\noutput = "%s/%s"\n' \
      "$("$cli" presign "chunks/${id:0:2}/$id" --ttl 3600)" "$objs" "$id" >>"$cfg"
  done <"$list"
  local t0 t1 t2
  t0=$(now)
  curl -sS --fail -K "$cfg"
  t1=$(now)
  get_s=$(secs "$t0" "$t1")
  # Frames are decompressed; raw objects (stored uncompressed) need no unpacking.
  local frames=()
  for f in "$objs"/*; do
    if [ "$(head -c4 "$f" | od -An -tx1 | tr -d ' \n')" = "28b52ffd" ]; then frames+=("$f"); fi
  done
  t1=$(now)
  if [ ${#frames[@]} -gt 0 ]; then zstd -d -q -c "${frames[@]}" >/dev/null; fi
  t2=$(now)
  unpack_s=$(secs "$t1" "$t2")
  got_bytes=$(du -sb --apparent-size "$objs" | cut -f1)
  for f in "$objs"/*; do
    if [ "$(head -c4 "$f" | od -An -tx1 | tr -d ' \n')" = "28b52ffd" ]; then
      zstd -d -q -c "$f" >"$out_dir/$(basename "$f")"
    else
      cp "$f" "$out_dir/"
    fi
  done
  rm -rf "$objs"
}
# Time to BLAKE3 / write the files under $1; sets hash_s, write_s.
hash_and_write() {
  local t0 t1 t2
  t0=$(now)
  find "$1" -type f -print0 | xargs -0 "$work/b3probe" >/dev/null
  t1=$(now)
  find "$1" -type f -print0 | xargs -0 cat >"$work/write.probe"
  t2=$(now)
  rm -f "$work/write.probe"
  hash_s=$(secs "$t0" "$t1")
  write_s=$(secs "$t1" "$t2")
}
# Read, scan (chunk command minus read and hash), hash, write over the tree.
tree_stages() {
  local t0 t1 t2
  t0=$(now)
  find "$tree" -type f -print0 | xargs -0 cat >/dev/null
  t1=$(now)
  read_s=$(secs "$t0" "$t1")
  hash_and_write "$tree"
  t0=$(now)
  "$cli" chunk "$tree" >/dev/null
  t2=$(now)
  scan_s=$(python3 -c "print(f'{max($t2 - $t0 - $read_s - $hash_s, 0.001):.3f}')")
}

# --- 1. sync into an empty directory ----------------------------------------
echo "sync into an empty directory ..." >&2
prepare="rm -rf $work/dest1"
measure empty sync bench "$work/dest1"
prepare=:
e_wall=$wall e_rss=$rss_mib e_req=$requests e_sum=$summary
ce_wall=$c_wall ce_rss=$c_rss_mib ce_sum=$c_summary
python3 "$work/ids.py" all "$work/m1.json" >"$work/all.ids"
best_of 'fetch_and_unpack "$work/all.ids" all' "get_s unpack_s"
unique_bytes=$(du -sb --apparent-size "$out_dir" | cut -f1)
e_get=$get_s e_unpack=$unpack_s e_got=$got_bytes
best_of 'hash_and_write "$out_dir"' "hash_s write_s"
e_hash=$hash_s e_write=$write_s
rm -rf "$out_dir"
e_limit=$(mbps "$unique_bytes" "$(sum "$e_get" "$e_unpack" "$e_hash" "$e_write")")

# --- 2. re-sync with nothing changed -------------------------------------------
echo "re-sync, nothing changed ..." >&2
measure resync sync bench "$work/dest1"
r_wall=$wall r_rss=$rss_mib r_req=$requests r_sum=$summary
cr_wall=$c_wall cr_rss=$c_rss_mib cr_sum=$c_summary
best_of tree_stages "read_s scan_s hash_s write_s"
t_read=$read_s t_scan=$scan_s t_hash=$hash_s t_write=$write_s
r_limit=$(mbps "$tree_bytes" "$(sum "$t_read" "$t_scan" "$t_hash" "$t_write")")

# --- 3. seeded sync after the 5% change ------------------------------------------
echo "5% change, push, seeded sync ..." >&2
python3 "$here/bench/treegen.py" edit "$tree" "$size_mib" >/dev/null
tree2_bytes=$(du -sb --apparent-size "$tree" | cut -f1)
"$cli" push "$tree" bench --force >/dev/null
"$cli" storage get channels/bench/manifest.json "$work/m2.json" >/dev/null
prepare="rm -rf $work/dest2"
measure seeded sync bench "$work/dest2" --base "$work/dest1"
prepare=:
s_wall=$wall s_rss=$rss_mib s_req=$requests s_sum=$summary
cs_wall=$c_wall cs_rss=$c_rss_mib cs_sum=$c_summary
python3 "$work/ids.py" new "$work/m1.json" "$work/m2.json" >"$work/new.ids"
best_of 'fetch_and_unpack "$work/new.ids" new' "get_s unpack_s"
s_get=$get_s s_unpack=$unpack_s s_got=$got_bytes
rm -rf "$out_dir"
best_of tree_stages "read_s scan_s hash_s write_s"
s_limit=$(mbps "$tree2_bytes" "$(sum "$read_s" "$scan_s" "$hash_s" "$write_s" "$s_get" "$s_unpack")")

# --- 4. full verify ----------------------------------------------------------------
echo "full verify ..." >&2
measure verify verify bench "$work/dest2"
v_wall=$wall v_rss=$rss_mib v_req=$requests v_sum=$summary
cv_wall=$c_wall cv_rss=$c_rss_mib cv_sum=$c_summary
v_limit=$(mbps "$tree2_bytes" "$(sum "$read_s" "$hash_s")")

pct() { python3 -c "print(f'{$1 / max($2, 1e-9) * 100:.0f}')"; }
e_rate=$(mbps "$tree_bytes" "$e_wall")
r_rate=$(mbps "$tree_bytes" "$r_wall")
s_rate=$(mbps "$tree2_bytes" "$s_wall")
v_rate=$(mbps "$tree2_bytes" "$v_wall")
cat <<EOF
sync benchmark: tree $tree_bytes bytes ($size_mib MiB target); cache budget 256 MiB, memory limit 320 MiB
  best of $repeat run(s) each$( [ -z "$compare" ] || echo "; compared with $compare" )
empty sync:   $e_sum
  wall $e_wall s, $e_rate MB/s of output, downloaded $(wire_of "$e_sum") bytes, requests $e_req, peak RSS $e_rss MiB
  limit $e_limit MB/s (get $e_get s for $e_got bytes, unpack $e_unpack s, hash $e_hash s, write $e_write s
  over $unique_bytes bytes): $(pct "$e_rate" "$e_limit")% (target >= 70%)
re-sync:      $r_sum
  wall $r_wall s, $r_rate MB/s of output, downloaded $(wire_of "$r_sum") bytes, requests $r_req, peak RSS $r_rss MiB
  limit $r_limit MB/s (read $t_read s, scan $t_scan s, hash $t_hash s, write $t_write s): $(pct "$r_rate" "$r_limit")% (target >= 70%)
seeded sync:  $s_sum
  wall $s_wall s, $s_rate MB/s of output, downloaded $(wire_of "$s_sum") bytes, requests $s_req, peak RSS $s_rss MiB
  limit $s_limit MB/s (tree stages + get $s_get s for $s_got bytes, unpack $s_unpack s): $(pct "$s_rate" "$s_limit")% (target >= 70%)
full verify:  $v_sum
  wall $v_wall s, $v_rate MB/s of output, requests $v_req, peak RSS $v_rss MiB
  limit $v_limit MB/s (read $read_s s, hash $hash_s s): $(pct "$v_rate" "$v_limit")% (target >= 70%)
EOF
if [ -n "$compare" ]; then
  # The compared build's summaries must match: same work, other speed.
  for pair in "empty sync|$e_sum|$ce_sum" "re-sync|$r_sum|$cr_sum" "seeded sync|$s_sum|$cs_sum" \
    "verify|$v_sum|$cv_sum"; do
    IFS='|' read -r tag a b <<<"$pair"
    [ "$a" = "$b" ] || echo "compare: $tag summary differs: '$b'" >&2
  done
  c_row() { echo "wall $2 s, $(mbps "$1" "$2") MB/s, peak RSS $3 MiB: $(pct "$(mbps "$1" "$2")" "$4")% of limit"; }
  cat <<EOF
compared build $compare:
  empty sync:  $(c_row "$tree_bytes" "$ce_wall" "$ce_rss" "$e_limit")
  re-sync:     $(c_row "$tree_bytes" "$cr_wall" "$cr_rss" "$r_limit")
  seeded sync: $(c_row "$tree2_bytes" "$cs_wall" "$cs_rss" "$s_limit")
  full verify: $(c_row "$tree2_bytes" "$cv_wall" "$cv_rss" "$v_limit")
EOF
fi
