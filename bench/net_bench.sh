#!/usr/bin/env bash
# Network benchmark: push, sync, verify --repair and gc --delete with several
# --jobs values, against the local S3 test server directly and through its
# fault layer (the "proxy") holding every request for a fixed delay, which
# models a remote store. Every figure of a table is measured in the same
# run, so the ratios beside it compare like with like.
#
#   bench/net_bench.sh [--cli PATH] [--bench-chunk PATH] [--quick]
#                      [--size-mib N] [--small-files N] [--small-delayed N]
#                      [--gc-objects N] [--damage N] [--memory-sizes "MIB ..."]
#                      [--delays "MS ..."] [--jobs "N ..."] [--only "NAME ..."]
#                      [--repeat N] [--work DIR] [--keep] [--tsv FILE]
#
# --cli           the program (default build/cli/corvane-vorn)
# --bench-chunk   bench_chunk for the compression stage (default: next to --cli)
# --quick         small sizes for a run of a few minutes: --size-mib 64,
#                 --small-files 2000, --small-delayed 300, --gc-objects 300,
#                 --memory-sizes "32 64"; options after it still apply
# --size-mib      the build-like tree of push_bench.sh (default 1024)
# --small-files   the tree of many small files, 1 to 64 KiB each (default 20000)
# --small-delayed the small-file scenarios at a delay run on the first N of
#                 those files (default 2000): 20,000 files at 20 ms one request
#                 at a time would take a quarter of an hour per run
# --gc-objects    garbage objects that gc --delete removes (default 2000)
# --damage        files broken before each verify --repair (default 4)
# --memory-sizes  tree sizes for the peak memory of push (default "256 1024")
# --delays        proxy delays in ms (default "0 20"); 0 ms direct, with no
#                 proxy in the way, is always measured as well
# --jobs          --jobs values (default "1 2 8"); the first is the baseline
#                 of the speed-up columns
# --only          scenarios to run (default all): push push-edit sync-empty
#                 sync-update sync-base repair gc small-push small-sync
#                 small-repair memory compress
# --repeat        runs per cell, the fastest counts (default 1); peak memory
#                 is the largest seen
# --tsv           also write every run as a tab-separated line to FILE
#
# Scenarios (the big tree unless named small):
#   push          push into an empty store
#   push-edit     push --force after the 5% edit of push_bench.sh
#   sync-empty    sync of the edited build into an empty directory
#   sync-update   sync of the edited build into an install of the previous one
#   sync-base     sync into an empty directory with --base the previous install
#   repair        verify --repair after --damage files were broken
#   gc            gc --delete of --gc-objects garbage objects
#   small-*       push, sync-empty and repair on the small-file tree
#   memory        peak memory of push at each --memory-sizes, direct
#   compress      the compression stage alone (bench_chunk compress) at 1
#                 and 2 threads over the big tree's chunks
#
# Each run is one program run under GNU time: wall seconds, peak resident
# memory, MB/s (tree bytes / wall; objects/s for gc) and, through the proxy,
# the number of requests. "xN" is the speed-up of --jobs N over the first
# --jobs value (its time / this time); "D/0" is the time at D ms over the
# time at 0 ms with the same --jobs, through the proxy ("prx") and against
# the direct run ("dir"). Runs of one scenario must print the same summary;
# a difference is reported. A program that does not know --jobs ignores it,
# so the script runs against any build. MB = 10^6 bytes, MiB = 2^20.
# Needs node (with tests/s3/node_modules), python3, curl and GNU time.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cli="$here/build/cli/corvane-vorn"
bench_chunk=""
size_mib=1024
small_files=20000
small_delayed=2000
gc_objects=2000
damage=4
memory_sizes="256 1024"
delays="0 20"
jobs_list="1 2 8"
all_scenarios="push push-edit sync-empty sync-update sync-base repair gc small-push small-sync small-repair memory compress"
only="$all_scenarios"
work=""
keep=0
tsv=""
repeat=1
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli="$2"; shift 2 ;;
    --bench-chunk) bench_chunk="$2"; shift 2 ;;
    --quick) size_mib=64 small_files=2000 small_delayed=300 gc_objects=300 memory_sizes="32 64"; shift ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --small-files) small_files="$2"; shift 2 ;;
    --small-delayed) small_delayed="$2"; shift 2 ;;
    --gc-objects) gc_objects="$2"; shift 2 ;;
    --damage) damage="$2"; shift 2 ;;
    --memory-sizes) memory_sizes="$2"; shift 2 ;;
    --delays) delays="$2"; shift 2 ;;
    --jobs) jobs_list="$2"; shift 2 ;;
    --only) only="${2//,/ }"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --tsv) tsv="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[ -x "$cli" ] || { echo "no program at $cli (use --cli)" >&2; exit 2; }
cli="$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")"
[ -n "$bench_chunk" ] || bench_chunk="$(dirname "$(dirname "$cli")")/bench/bench_chunk"
for name in $only; do
  [[ " $all_scenarios " == *" $name "* ]] || { echo "unknown scenario: $name" >&2; exit 2; }
done
for n in $repeat $size_mib $small_files $small_delayed $gc_objects $damage $memory_sizes $jobs_list; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "not a positive count: $n" >&2; exit 2; }
done
for d in $delays; do [[ "$d" =~ ^[0-9]+$ ]] || { echo "not a delay in ms: $d" >&2; exit 2; }; done
[ "$small_delayed" -le "$small_files" ] || small_delayed=$small_files

source "$here/scripts/lib/test_server.sh"
source "$here/bench/lib/common.sh"
require_tools node python3 curl /usr/bin/time
[ -e "$here/tests/s3/node_modules" ] || { echo "tests/s3/node_modules is missing (npm install there)" >&2; exit 2; }

if [ -z "$work" ]; then work="$(mktemp -d /tmp/vorn-net-bench.XXXXXX)"; fi
mkdir -p "$work"
work="$(cd "$work" && pwd)"
# A --work directory of an earlier run: its stores and installs would be taken
# for this run's, so everything this script makes there starts again.
rm -rf "$work"/{big-v1,big-v2,small,small-delayed,dest,s3data} "$work"/snap-* "$work"/install-* "$work"/mem-*
cleanup() {
  stop_test_server
  if [ "$keep" = 0 ]; then rm -rf "$work"; else echo "data kept in $work" >&2; fi
}
trap cleanup EXIT
# The runs pass --jobs themselves; a default from outside would blur the baseline.
unset VORN_JOBS

script_start_s=$(date +%s)
wanted() { [[ " $only " == *" $1 "* ]]; }
note() { echo "[$(date +%H:%M:%S)] $*" >&2; }

# --- the store: the server (its fault layer is the proxy), started once -----

access=BENCHKEY
secret=BENCHSECRET
bucket=vorn-bench
data="$work/s3data"

store_start() {
  start_test_server "$data" "$work/s3.log" "$bucket" "$access" "$secret"
  direct_endpoint="$VORN_S3_ENDPOINT"
}
store_stop() {
  stop_test_server
}
# Resetting the bucket's directory under the running server is enough: the
# server keeps no index of its own, and it saves two node start-ups per run.
store_clear() { find "$data/$bucket" -mindepth 1 -delete; }
store_empty() {
  if [ -n "$server_pid" ]; then store_clear; else
    rm -rf "$data"
    store_start
  fi
}
store_from() {  # store_from SNAPSHOT: the store as it was when the snapshot was taken
  if [ -n "$server_pid" ]; then
    store_clear
    cp -a "$1/$bucket/." "$data/$bucket/"
  else
    rm -rf "$data"
    cp -a "$1" "$data"
    store_start
  fi
}
store_snapshot() {
  rm -rf "$1"
  cp -a "$data" "$1"
}

# A cell is where the requests go: "direct" or "proxy:MS".
cells="direct"
for d in $delays; do cells="$cells proxy:$d"; done
cell_label() {
  case "$1" in
    direct) echo "0 ms direct" ;;
    proxy:*) echo "${1#proxy:} ms proxy" ;;
  esac
}
use_cell() {
  case "$1" in
    direct) export VORN_S3_ENDPOINT="$direct_endpoint" ;;
    proxy:*)
      export VORN_S3_ENDPOINT="$(proxy_endpoint)"
      set_proxy_delay "${1#proxy:}"
      ;;
  esac
}

# --- one run, and a scenario's matrix ------------------------------------------

declare -A R_wall R_rss R_req R_sum
declare -A S_title S_amount S_unit S_cells
scenario_order=()
[ -z "$tsv" ] || printf 'scenario\tstore\tjobs\twall_s\tpeak_rss_kib\trequests\tamount\tunit\n' >"$tsv"

# run_one SCENARIO CELL JOBS ARGS...: the program with ARGS and --jobs JOBS.
run_one() {
  local scen="$1" cell="$2" jobs="$3"
  shift 3
  local key="$scen|$cell|$jobs" before="" wall rss
  use_cell "$cell"
  [ "$cell" = direct ] || before=$(proxy_requests)
  /usr/bin/time -f '%e %M' -o "$work/run.time" "$cli" "$@" --jobs "$jobs" \
    >"$work/run.out" 2>"$work/run.err" || {
    echo "$scen ($cell, --jobs $jobs) failed: $cli $* --jobs $jobs" >&2
    tail -c 2000 "$work/run.err" | tr '\r' '\n' | tail -n 5 >&2
    tail -n 5 "$work/run.out" >&2
    exit 1
  }
  read -r wall rss <"$work/run.time"
  if [ -n "${R_wall[$key]:-}" ]; then  # a repeat: keep the fastest, the largest peak
    if python3 -c "import sys; sys.exit(0 if $wall < ${R_wall[$key]} else 1)"; then R_wall[$key]=$wall; fi
    [ "$rss" -le "${R_rss[$key]}" ] || R_rss[$key]=$rss
  else
    R_wall[$key]=$wall
    R_rss[$key]=$rss
  fi
  R_req[$key]=-
  [ "$cell" = direct ] || R_req[$key]=$(($(proxy_requests) - before))
  # The summary: the lines that name counts and the build id, less the
  # destination's path.
  R_sum[$key]=$(grep -E '^(pushed|synced|verified|repaired|gc:|  build )' "$work/run.out" | sed 's/ -> [^:]*:/ -> DEST:/; s/ in [^:]*:/ in DEST:/; s/repaired: .* now/repaired: DEST now/' | sort | tr '\n' ';' || true)
  [ -z "$tsv" ] || printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$scen" "$cell" "$jobs" "$wall" "$rss" \
    "${R_req[$key]}" "${S_amount[$scen]}" "${S_unit[$scen]}" >>"$tsv"
  note "  $scen $(cell_label "$cell"), --jobs $jobs: $wall s, $((${rss} / 1024)) MiB"
}

# scenario NAME TITLE AMOUNT UNIT CELLS PREPARE ARGS...: every cell x every
# --jobs value, PREPARE (a function, untimed) before each run.
scenario() {
  local name="$1" title="$2" amount="$3" unit="$4" where="$5" prepare="$6"
  shift 6
  S_title[$name]=$title S_amount[$name]=$amount S_unit[$name]=$unit S_cells[$name]=$where
  scenario_order+=("$name")
  note "$name: $title"
  local cell jobs i
  for cell in $where; do
    for jobs in $jobs_list; do
      for ((i = 0; i < repeat; i++)); do
        $prepare
        run_one "$name" "$cell" "$jobs" "$@"
      done
    done
  done
}

rate() {  # rate AMOUNT UNIT SECONDS
  if [ "$2" = MB/s ]; then mbps "$1" "$3"; else python3 -c "print(f'{$1 / max($3, 1e-9):.0f}')"; fi
}

# --- data ----------------------------------------------------------------------

big_needed=0 v2_needed=0 small_needed=0
for name in push push-edit sync-empty sync-update sync-base repair compress; do wanted "$name" && big_needed=1; done
for name in push-edit sync-empty sync-update sync-base repair; do wanted "$name" && v2_needed=1; done
for name in small-push small-sync small-repair; do wanted "$name" && small_needed=1; done
if wanted memory && [[ " $memory_sizes " == *" $size_mib "* ]]; then big_needed=1; fi

v1="$work/big-v1" v2="$work/big-v2"
if [ "$big_needed" = 1 ]; then
  note "generating the ${size_mib} MiB tree ..."
  python3 "$here/bench/treegen.py" generate "$v1" "$size_mib"
  v1_bytes=$(tree_bytes "$v1")
  if [ "$v2_needed" = 1 ]; then
    cp -a "$v1" "$v2"
    edited=$(python3 "$here/bench/treegen.py" edit "$v2" "$size_mib")
    v2_bytes=$(tree_bytes "$v2")
  fi
fi
small="$work/small" small_d="$work/small-delayed"
if [ "$small_needed" = 1 ]; then
  note "generating $small_files small files ..."
  python3 "$here/bench/treegen.py" small "$small" "$small_files"
  small_bytes=$(tree_bytes "$small")
  if [ "$small_delayed" -lt "$small_files" ]; then
    python3 "$here/bench/treegen.py" small "$small_d" "$small_delayed"
    small_d_bytes=$(tree_bytes "$small_d")
  fi
fi

echo "machine: $(machine_line); load before: $(load_line)"
echo "program: $cli ($("$cli" version 2>&1 | head -n 1))"
start_s=$(date +%s)

# Untimed set-up runs: plain commands, direct, no --jobs.
setup_run() {
  export VORN_S3_ENDPOINT="$direct_endpoint"
  "$cli" "$@" >"$work/setup.out" 2>"$work/setup.err" || {
    echo "set-up run failed: $cli $*" >&2
    tr '\r' '\n' <"$work/setup.err" | tail -n 5 >&2
    exit 1
  }
}
snap_v1="$work/snap-v1" snap_v2="$work/snap-v2"
ensure_snap_v1() {
  [ -d "$snap_v1" ] && return
  store_empty
  setup_run push "$v1" bench
  store_snapshot "$snap_v1"
}
ensure_snap_v2() {
  [ -d "$snap_v2" ] && return
  ensure_snap_v1
  store_from "$snap_v1"
  setup_run push "$v2" bench --force
  store_snapshot "$snap_v2"
}
install_v1="$work/install-v1" install_v2="$work/install-v2"
ensure_install_v1() {  # the previous build, installed by a sync of it
  [ -d "$install_v1" ] && return
  ensure_snap_v1
  store_from "$snap_v1"
  setup_run sync bench "$install_v1"
}
ensure_install_v2() {
  [ -d "$install_v2" ] && return
  ensure_snap_v2
  store_from "$snap_v2"
  setup_run sync bench "$install_v2"
}

dest="$work/dest"
prep_none() { :; }
prep_empty_store() { store_empty; }
prep_store_v1() { store_from "$snap_v1"; }
prep_empty_dest() { rm -rf "$dest"; }
prep_dest_v1() { rm -rf "$dest"; cp -a "$install_v1" "$dest"; }
prep_damage_v2() { python3 "$here/bench/treegen.py" damage "$install_v2" "$damage" >/dev/null; }

# --- the big tree ---------------------------------------------------------------

if wanted push; then
  scenario push "push into an empty store" "$v1_bytes" MB/s "$cells" prep_empty_store push "$v1" bench
  store_snapshot "$snap_v1"  # what every run left: the first build pushed
fi
if wanted push-edit; then
  ensure_snap_v1
  scenario push-edit "push after a 5% edit ($edited bytes)" "$v2_bytes" MB/s "$cells" prep_store_v1 \
    push "$v2" bench --force
  store_snapshot "$snap_v2"
fi
if wanted sync-empty || wanted sync-update || wanted sync-base || wanted repair; then
  ensure_install_v1
  ensure_snap_v2
  store_from "$snap_v2"
fi
if wanted sync-empty; then
  scenario sync-empty "sync into an empty directory" "$v2_bytes" MB/s "$cells" prep_empty_dest \
    sync bench "$dest"
fi
if wanted sync-update; then
  scenario sync-update "sync of an installed previous build" "$v2_bytes" MB/s "$cells" prep_dest_v1 \
    sync bench "$dest"
fi
if wanted sync-base; then
  scenario sync-base "sync into an empty directory, --base the previous build" "$v2_bytes" MB/s "$cells" \
    prep_empty_dest sync bench "$dest" --base "$install_v1"
fi
if wanted repair; then
  ensure_install_v2
  store_from "$snap_v2"
  scenario repair "verify --repair of $damage broken files" "$v2_bytes" MB/s "$cells" prep_damage_v2 \
    verify bench "$install_v2" --repair
fi
rm -rf "$dest"

# --- gc ------------------------------------------------------------------------

if wanted gc; then
  note "filling a store with $gc_objects garbage objects ..."
  store_empty
  python3 "$here/bench/lib/s3_fill.py" "$((gc_objects + 100))" 1 100
  snap_gc="$work/snap-gc"
  store_snapshot "$snap_gc"
  prep_store_gc() { store_from "$snap_gc"; }
  scenario gc "gc --delete of $gc_objects garbage objects" "$gc_objects" obj/s "$cells" prep_store_gc gc --delete
  rm -rf "$snap_gc"
fi

# --- the small files --------------------------------------------------------------

# small_suite TREE BYTES TAG CELLS: push, sync and repair of one small-file tree.
small_suite() {
  local tree="$1" bytes="$2" tag="$3" where="$4" count
  count=$(find "$tree" -type f | wc -l)
  local snap="$work/snap-$tag" install="$work/install-$tag"
  if wanted small-push; then
    scenario "small-push$tag" "push of $count small files" "$bytes" MB/s "$where" prep_empty_store \
      push "$tree" small
    store_snapshot "$snap"
  fi
  if wanted small-sync || wanted small-repair; then
    if [ ! -d "$snap" ]; then
      store_empty
      setup_run push "$tree" small
      store_snapshot "$snap"
    fi
    store_from "$snap"
  fi
  if wanted small-sync; then
    scenario "small-sync$tag" "sync of $count small files into an empty directory" "$bytes" MB/s "$where" \
      prep_empty_dest sync small "$dest"
  fi
  if wanted small-repair; then
    rm -rf "$install"
    setup_run sync small "$install"
    prep_damage_small() { python3 "$here/bench/treegen.py" damage "$install" "$damage" >/dev/null; }
    scenario "small-repair$tag" "verify --repair of $damage of $count small files" "$bytes" MB/s "$where" \
      prep_damage_small verify small "$install" --repair
  fi
  rm -rf "$dest" "$install"
}
if [ "$small_needed" = 1 ]; then
  if [ "$small_delayed" -lt "$small_files" ]; then
    small_suite "$small" "$small_bytes" "" "direct"
    [ "$cells" = direct ] || small_suite "$small_d" "$small_d_bytes" "@$small_delayed" "$cells"
  else
    small_suite "$small" "$small_bytes" "" "$cells"
  fi
fi

# --- peak memory of push at several sizes ---------------------------------------------

if wanted memory; then
  for mib in $memory_sizes; do
    if [ "$mib" = "$size_mib" ] && [ -n "${R_wall[push|direct|${jobs_list%% *}]:-}" ]; then
      continue  # the fresh push above measured this size already
    fi
    tree="$work/mem-$mib"
    note "generating a $mib MiB tree ..."
    if [ "$mib" = "$size_mib" ] && [ -d "$v1" ]; then tree="$v1"; else
      python3 "$here/bench/treegen.py" generate "$tree" "$mib"
    fi
    scenario "memory-$mib" "push of a $mib MiB tree into an empty store" "$(tree_bytes "$tree")" MB/s direct \
      prep_empty_store push "$tree" bench
    [ "$tree" = "$v1" ] || rm -rf "$tree"
  done
fi

# --- the compression stage alone ----------------------------------------------------------

compress_out=""
if wanted compress; then
  if [ -x "$bench_chunk" ]; then
    note "compression stage at 1 and 2 threads ..."
    compress_out=$("$bench_chunk" compress "$v1" 1,2)
  else
    compress_out="  not measured: no bench_chunk at $bench_chunk (use --bench-chunk)"
  fi
fi
store_stop
end_s=$(date +%s)

# --- report ----------------------------------------------------------------------------------

first_jobs=${jobs_list%% *}
cell_text() {  # cell_text SCENARIO CELL JOBS
  local key="$1|$2|$3"
  [ -n "${R_wall[$key]:-}" ] || { printf '%-26s' -; return; }
  printf '%7.2fs %7s %4dMiB  ' "${R_wall[$key]}" "$(rate "${S_amount[$1]}" "${S_unit[$1]}" "${R_wall[$key]}")" \
    "$((${R_rss[$key]} / 1024))"
}
wall_of() { echo "${R_wall[$1]:--}"; }

echo
echo "network benchmark: big tree ${size_mib} MiB target${v1_bytes:+ ($v1_bytes bytes)}; $small_files small files${small_bytes:+ ($small_bytes bytes)}, $small_delayed of them at a delay"
echo "each cell: wall time, rate, peak RSS; xN: speed-up of --jobs N over --jobs $first_jobs (its time / this time);"
echo "requests: through the proxy, with --jobs $first_jobs; 0p / 0d: time at 0 ms through the proxy / direct;"
echo "D / 0p and D / 0d: time at D ms / time at 0 ms through the proxy and direct, for the same --jobs"
for name in "${scenario_order[@]}"; do
  echo
  echo "$name: ${S_title[$name]} (rate in ${S_unit[$name]})"
  printf '  %-13s' "store"
  for jobs in $jobs_list; do printf '%-26s' "jobs $jobs"; done
  for jobs in ${jobs_list#"$first_jobs"}; do printf '%6s' "x$jobs"; done
  printf '%10s\n' "requests"
  for cell in ${S_cells[$name]}; do
    printf '  %-13s' "$(cell_label "$cell")"
    for jobs in $jobs_list; do cell_text "$name" "$cell" "$jobs"; done
    for jobs in ${jobs_list#"$first_jobs"}; do
      printf '%6s' "$(ratio "$(wall_of "$name|$cell|$first_jobs")" "$(wall_of "$name|$cell|$jobs")")"
    done
    printf '%10s\n' "${R_req[$name|$cell|$first_jobs]:--}"
  done
  # Ratios of times, in the column of their --jobs value.
  ratio_row() {  # ratio_row LABEL CELL_A CELL_B: time in A / time in B
    [[ " ${S_cells[$name]} " == *" $2 "* ]] && [[ " ${S_cells[$name]} " == *" $3 "* ]] || return 0
    printf '  %-13s' "$1"
    for jobs in $jobs_list; do
      printf '%7s%-19s' "$(ratio "$(wall_of "$name|$2|$jobs")" "$(wall_of "$name|$3|$jobs")")" ""
    done
    echo
  }
  ratio_row "0p / 0d" proxy:0 direct
  for cell in ${S_cells[$name]}; do
    [[ "$cell" == proxy:* ]] && [ "$cell" != proxy:0 ] || continue
    ratio_row "${cell#proxy:} / 0p" "$cell" proxy:0
    ratio_row "${cell#proxy:} / 0d" "$cell" direct
  done
  # Every run of a scenario does the same work and must say so.
  first_sum="" differs=""
  for cell in ${S_cells[$name]}; do
    for jobs in $jobs_list; do
      s=${R_sum[$name|$cell|$jobs]:-}
      if [ -z "$first_sum" ]; then first_sum=$s; elif [ "$s" != "$first_sum" ]; then
        differs="$differs $(cell_label "$cell")/jobs $jobs"
      fi
    done
  done
  if [ -n "$differs" ]; then echo "  SUMMARY DIFFERS from the first run in:$differs"; fi
done

if [ -n "$compress_out" ]; then
  echo
  echo "compression stage alone (read + zstd level 12 of the distinct chunks):"
  echo "$compress_out" | sed 's/^/  /'
fi

# --- targets --------------------------------------------------------------------------------

verdict() { python3 -c "print('met' if $1 else 'NOT met')" 2>/dev/null || echo "not measured"; }
echo
echo "targets:"
for name in push-edit sync-update; do
  t0p=$(wall_of "$name|proxy:0|8") t0d=$(wall_of "$name|direct|8") t20=$(wall_of "$name|proxy:20|8")
  if [ "$t20" != - ] && [ "$t0p" != - ]; then
    r=$(ratio "$t20" "$t0p") rd=$(ratio "$t20" "$t0d")
    echo "  $name, --jobs 8, 20 ms / 0 ms <= 1.5: $r through the proxy (judged), $rd over the direct run: $(verdict "$r <= 1.5")"
  else
    echo "  $name, --jobs 8, 20 ms / 0 ms <= 1.5: not measured"
  fi
done
t1=$(wall_of "push|direct|1") t2=$(wall_of "push|direct|2")
if [ "$t1" != - ] && [ "$t2" != - ]; then
  r=$(ratio "$t1" "$t2")
  echo "  fresh push, --jobs 2 over --jobs 1 >= 1.7x throughput (0 ms direct): $r: $(verdict "$r >= 1.7")"
else
  echo "  fresh push, --jobs 2 over --jobs 1 >= 1.7x: not measured"
fi
t=$(wall_of "sync-empty|direct|2")
if [ "$t" != - ]; then
  r=$(mbps "${S_amount[sync-empty]}" "$t")
  echo "  sync into an empty directory, --jobs 2, 0 ms direct >= 400 MB/s: $r MB/s: $(verdict "$r >= 400")"
else
  echo "  sync into an empty directory, --jobs 2 >= 400 MB/s: not measured"
fi
if wanted memory || wanted push; then
  echo "  push peak memory < 128 MiB + 2 x N x 16 MiB, not growing with the build size (0 ms direct):"
  for jobs in $jobs_list; do
    bound=$((128 + 2 * jobs * 16))
    line="" worst=0 lo="" hi=""
    for mib in $memory_sizes; do
      key="memory-$mib|direct|$jobs"
      [ "$mib" = "$size_mib" ] && [ -n "${R_rss[push|direct|$jobs]:-}" ] && key="push|direct|$jobs"
      [ -n "${R_rss[$key]:-}" ] || continue
      m=$((${R_rss[$key]} / 1024))
      line="$line ${mib} MiB tree: $m MiB;"
      [ "$m" -gt "$worst" ] && worst=$m
      [ -n "$lo" ] || lo=$m
      hi=$m
    done
    [ -n "$line" ] || { echo "    --jobs $jobs: not measured"; continue; }
    echo "    --jobs $jobs (bound $bound MiB):$line growth $((hi - lo)) MiB: $(verdict "$worst < $bound")"
  done
fi
echo
echo "load after: $(load_line); took $(((end_s - script_start_s) / 60)) min $(((end_s - script_start_s) % 60)) s, $((start_s - script_start_s)) s of it generating data"
