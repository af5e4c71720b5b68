#!/usr/bin/env bash
# Compression level benchmark: a fresh push of the build-like tree of
# push_bench.sh into an empty store at several zstd levels and --jobs values,
# and, in the same run on the same tree, casync and restic each making a
# fresh store of it, so that every figure compares like with like.
#
#   bench/level_bench.sh [--cli PATH] [--size-mib N] [--levels "L ..."]
#                        [--jobs "N ..."] [--no-peers] [--work DIR] [--keep]
#
# --cli       the program (default build/cli/corvane-vorn)
# --size-mib  the tree (default 1024)
# --levels    push levels (default "3 6 9 12 19"; 12 is the default level)
# --jobs      --jobs values (default "1 2")
# --no-peers  leave out casync and restic
#
# Each push goes into a store emptied beforehand (a fresh test server); the
# peers write to an empty local directory: `casync make` with its zstd
# compression and `restic backup` into a new repository (format 2, its default
# compression "auto"). Each run is one program run under GNU time: wall and
# CPU seconds, MB/s of tree bytes per wall second, and the store's size
# (vorn: the stored chunk objects from push's JSON result plus the manifest;
# casync: the chunk store and the index; restic: the whole repository). vorn
# talks HTTP to the local S3 test server, which writes every object to its own
# directory; the peers write files directly. MB = 10^6 bytes.
# Needs node (with tests/s3/node_modules), python3 and GNU time; casync and
# restic (Debian packages of those names) are installed with apt-get when
# missing and the script runs as root, else it says how.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="$here/build/cli/corvane-vorn"
size_mib=1024
levels="3 6 9 12 19"
jobs_list="1 2"
peers=1
work=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --levels) levels="$2"; shift 2 ;;
    --jobs) jobs_list="$2"; shift 2 ;;
    --no-peers) peers=0; shift ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ -x "$cli" ] || { echo "no program at $cli (use --cli)" >&2; exit 2; }
source "$here/bench/lib/common.sh"
require_tools node python3 /usr/bin/time
if [ "$peers" = 1 ]; then
  missing=""
  for tool in casync restic; do command -v "$tool" >/dev/null || missing="$missing $tool"; done
  if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
      echo "installing$missing (Debian packages) ..." >&2
      apt-get install -y -q $missing >/dev/null
    else
      echo "missing:$missing; install with: sudo apt-get install$missing (or pass --no-peers)" >&2
      exit 2
    fi
  fi
fi

if [ -z "$work" ]; then work="$(mktemp -d /tmp/vorn-level-bench.XXXXXX)"; fi
mkdir -p "$work"
source "$here/scripts/lib/test_server.sh"
cleanup() {
  stop_test_server
  if [ "$keep" = 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

tree="$work/tree"
echo "generating a ${size_mib} MiB tree in $tree ..." >&2
rm -rf "$tree"
python3 "$here/bench/treegen.py" generate "$tree" "$size_mib"
tree_bytes=$(tree_bytes "$tree")
dir_bytes() { find "$@" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

# timed NAME CMD...: runs CMD under GNU time, output in $work/NAME.out and
# .err; sets wall and cpu (user + system seconds). A failure ends the script.
timed() {
  local name="$1" user_s sys_s
  shift
  /usr/bin/time -f '%e %U %S' -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err" || {
    echo "$name failed:" >&2
    cat "$work/$name.err" >&2
    exit 1
  }
  read -r wall user_s sys_s <"$work/$name.time"
  cpu=$(python3 -c "print(f'{$user_s + $sys_s:.1f}')")
}

rows=()
# row LABEL JOBS STORE_BYTES: one line of the table from wall and cpu.
row() {
  rows+=("$(printf '| %-30s | %4s | %7.1f | %7s | %7s | %9.1f | %5.1f%% |' "$1" "$2" "$wall" "$cpu" \
    "$(mbps "$tree_bytes" "$wall")" "$(python3 -c "print($3 / 1e6)")" \
    "$(python3 -c "print($3 / $tree_bytes * 100)")")")
}

declare -A vorn_wall
for level in $levels; do
  for jobs in $jobs_list; do
    stop_test_server
    rm -rf "$work/s3data"
    start_test_server "$work/s3data" "$work/s3.log" vorn-bench BENCHKEY BENCHSECRET
    echo "push --level $level --jobs $jobs ..." >&2
    # Retries change nothing in the result; they ride out the test server's
    # front dropping its idle connection to the store behind it during a long
    # level-19 compression.
    timed "push-$level-$jobs" "$cli" push "$tree" bench --level "$level" --jobs "$jobs" --json \
      --retries 3
    stored=$(python3 -c "import json, sys; print(json.load(sys.stdin)['bytes_stored'])" \
      <"$work/push-$level-$jobs.out")
    manifest=$(VORN_JSON=1 "$cli" storage head channels/bench/manifest.json |
      python3 -c "import json, sys; print(json.load(sys.stdin)['size'])")
    row "vorn push --level $level" "$jobs" $((stored + manifest))
    vorn_wall[$level-$jobs]=$wall
  done
done
stop_test_server

if [ "$peers" = 1 ]; then
  echo "casync make ..." >&2
  timed casync casync make --compression=zstd --store="$work/casync.castr" "$work/casync.caidx" "$tree"
  row "casync make (zstd)" - "$(dir_bytes "$work/casync.castr" "$work/casync.caidx")"
  casync_wall=$wall
  echo "restic backup ..." >&2
  export RESTIC_PASSWORD=level-bench
  restic init -q --repo "$work/restic" --repository-version 2 >/dev/null
  timed restic restic backup -q --repo "$work/restic" --cache-dir "$work/restic-cache" "$tree"
  row "restic backup (auto)" - "$(dir_bytes "$work/restic")"
  restic_wall=$wall
fi

cat <<EOF
level benchmark: tree $tree_bytes bytes ($size_mib MiB target), $(machine_line), load $(load_line)
| run                            | jobs |  wall s |  cpu s |    MB/s | stored MB | stored |
|--------------------------------|------|---------|--------|---------|-----------|--------|
EOF
printf '%s\n' "${rows[@]}"
if [ "$peers" = 1 ] && [ -n "${vorn_wall[3-2]:-}" ]; then
  echo "vorn --level 3 --jobs 2 takes $(ratio "${vorn_wall[3-2]}" "$casync_wall")x the time of" \
    "casync make and $(ratio "${vorn_wall[3-2]}" "$restic_wall")x that of restic backup"
fi
