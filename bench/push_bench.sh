#!/usr/bin/env bash
# Push benchmark: a build-like tree (about 1 GiB by default) pushed to the
# local S3 test server, then pushed again after about 5% of its bytes changed
# (edits inside a few large files, one file added, one removed).
#
#   bench/push_bench.sh [--cli PATH] [--size-mib N] [--work DIR] [--keep]
#
# Reports for each push: wall time, MB/s of input, bytes uploaded, requests
# made (connections to the store: the provider opens one per request) and
# peak resident memory. Next to the first push it measures zstd at level 12
# compressing the same chunks single-threaded (a small C program), and
# for the second push the ratio of uploaded bytes to the stored size of the
# chunks that changed. MB = 10^6 bytes. Needs node (with tests/s3/node_modules),
# python3, a C compiler with libzstd, strace and GNU time.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="$here/build/cli/corvane-vorn"
size_mib=1024
work=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ -x "$cli" ] || { echo "no program at $cli (use --cli)" >&2; exit 2; }
for tool in node python3 cc strace /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
done

if [ -z "$work" ]; then work="$(mktemp -d /tmp/vorn-push-bench.XXXXXX)"; fi
mkdir -p "$work"
source "$here/scripts/lib/test_server.sh"
source "$here/bench/lib/common.sh"
cleanup() {
  stop_test_server
  if [ "$keep" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

tree="$work/tree"
data="$work/s3data"
mkdir -p "$data"

# --- the tree ---------------------------------------------------------------

echo "generating a ${size_mib} MiB tree in $tree ..." >&2
rm -rf "$tree"
python3 "$here/bench/treegen.py" generate "$tree" "$size_mib"
tree_bytes=$(tree_bytes "$tree")

# --- the store --------------------------------------------------------------
access="BENCHKEY"
secret="BENCHSECRET"
bucket="vorn-bench"
start_test_server "$data" "$work/s3.log" "$bucket" "$access" "$secret"

# Runs one push under GNU time and strace (connect calls only); sets
# wall, cpu (user + system seconds), rss_kib, requests, summary.
run_push() {
  local name="$1"
  shift
  local port_hex
  port_hex=$(printf 'htons(%d)' "$server_port")
  /usr/bin/time -f '%e %M %U %S' -o "$work/$name.time" \
    strace -f --seccomp-bpf -e trace=connect -o "$work/$name.trace" \
    "$cli" push "$tree" bench "$@" >"$work/$name.out" 2>"$work/$name.err" || {
    echo "push failed:" >&2
    cat "$work/$name.err" >&2
    exit 1
  }
  read -r wall rss_kib user_s sys_s <"$work/$name.time"
  cpu=$(python3 -c "print(f'{$user_s + $sys_s:.2f}')")
  requests=$(grep -c "sin_port=$port_hex" "$work/$name.trace" || true)
  summary=$(head -n1 "$work/$name.out")
}

field() {  # field N of the summary line's numbers
  echo "$summary" | grep -o '[0-9][0-9.]*' | sed -n "$1p"
}


# --- first push -------------------------------------------------------------
echo "first push ..." >&2
run_push first
first_wall=$wall first_cpu=$cpu first_rss=$rss_kib first_requests=$requests first_summary=$summary
first_unique=$(field 1)
first_in=$(field 4)
first_stored=$(field 5)
"$cli" storage get channels/bench/manifest.json "$work/m1.json" >/dev/null

# zstd level 12, single-threaded, over the same distinct chunks: once with one
# context kept for all chunks (what push does) and once with ZSTD_compress per
# chunk. Only the compression calls are timed.
echo "zstd level 12 over the same chunks ..." >&2
cat >"$work/zstd12.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <zstd.h>
static double now(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}
int main(int argc, char** argv) {
  int keep = argc > 1 && argv[1][0] == 'k';
  char path[4096];
  long long offset, size, in = 0, out = 0;
  double spent = 0, cpu = 0;
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  while (scanf("%4095s %lld %lld", path, &offset, &size) == 3) {
    FILE* f = fopen(path, "rb");
    char* src = malloc(size);
    size_t cap = ZSTD_compressBound(size);
    char* dst = malloc(cap);
    if (!f || fseeko(f, offset, SEEK_SET) || fread(src, 1, size, f) != (size_t)size) return 1;
    fclose(f);
    double t0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_PROCESS_CPUTIME_ID);
    size_t n = keep ? ZSTD_compressCCtx(cctx, dst, cap, src, size, 12)
                    : ZSTD_compress(dst, cap, src, size, 12);
    spent += now(CLOCK_MONOTONIC) - t0;
    cpu += now(CLOCK_PROCESS_CPUTIME_ID) - c0;
    if (ZSTD_isError(n)) return 1;
    in += size;
    out += n < (size_t)size ? (long long)n : size;
    free(src);
    free(dst);
  }
  ZSTD_freeCCtx(cctx);
  printf("%lld %lld %.3f %.3f\n", in, out, spent, cpu);
  return 0;
}
EOF
cc -O2 -D_FILE_OFFSET_BITS=64 -o "$work/zstd12" "$work/zstd12.c" -lzstd
python3 "$here/bench/treegen.py" chunklist "$work/m1.json" "$tree" >"$work/chunks.txt"
read -r chunk_bytes zstd_stored zstd_wall zstd_cpu < <("$work/zstd12" keep <"$work/chunks.txt")
read -r _ _ zstd1_wall _ < <("$work/zstd12" oneshot <"$work/chunks.txt")

# --- second push after a 5% change -------------------------------------------
changed_bytes=$(python3 "$here/bench/treegen.py" edit "$tree" "$size_mib")
tree2_bytes=$(tree_bytes "$tree")
echo "second push ..." >&2
run_push second --force
"$cli" storage get channels/bench/manifest.json "$work/m2.json" >/dev/null
second_in=$(field 4)
second_stored=$(field 5)
changed_stored=0
changed_count=0
for id in $(python3 "$here/bench/treegen.py" changed "$work/m1.json" "$work/m2.json"); do
  obj=$(find "$data" -path "*${id}*" -name '*._S3rver_object' | head -n1)
  [ -n "$obj" ] || { echo "changed chunk $id not in the store" >&2; exit 1; }
  changed_stored=$((changed_stored + $(stat -c %s "$obj")))
  changed_count=$((changed_count + 1))
done

# --- report -----------------------------------------------------------------
push1=$(mbps "$tree_bytes" "$first_wall")
zstd_rate=$(mbps "$chunk_bytes" "$zstd_wall")
cat <<EOF
push benchmark: tree $tree_bytes bytes ($size_mib MiB target), libzstd $(pkg-config --modversion libzstd 2>/dev/null || echo '?')
first push:  $first_summary
  wall ${first_wall} s (cpu ${first_cpu} s), $push1 MB/s of input, uploaded $first_stored bytes (of $first_in chunk bytes),
  requests $first_requests, peak RSS $((first_rss / 1024)) MiB
  zstd level 12 single-threaded, same $first_unique chunks ($chunk_bytes bytes -> $zstd_stored stored):
    one context kept: ${zstd_wall} s (cpu ${zstd_cpu} s), $zstd_rate MB/s; ZSTD_compress per chunk: ${zstd1_wall} s, $(mbps "$chunk_bytes" "$zstd1_wall") MB/s
  push / zstd (context kept): $(python3 -c "print(f'{$push1 / $zstd_rate * 100:.0f}')")% (target >= 85%)
second push (~5% changed: $changed_bytes bytes edited or added, one file removed):
  $summary
  wall ${wall} s (cpu ${cpu} s), $(mbps "$tree2_bytes" "$wall") MB/s of input (target >= 150), uploaded $second_stored bytes
  (of $second_in chunk bytes), requests $requests, peak RSS $((rss_kib / 1024)) MiB
  changed chunks: $changed_count, stored size $changed_stored bytes;
  uploaded / stored size of changed chunks: $(python3 -c "print(f'{$second_stored / max($changed_stored, 1):.3f}')") (target <= 1.0)
EOF
