#!/usr/bin/env bash
# Throughput and peak memory of "corvane-vorn chunk" on a 1 GiB file of random
# bytes and on a build-like tree of about 1 GiB, next to the raw limits of the
# same machine measured in the same run (reading in 1 MiB blocks from the page
# cache, a bare gear-hash loop, BLAKE3).
#
#   bench/chunk_bench.sh [--build DIR] [--data DIR] [--seed N] [--repeats N]
#
# --build    a Release build directory holding cli/corvane-vorn and
#            bench/bench_chunk (default: build)
# --data     where the data is generated, about 2 GiB (default: bench/data,
#            ignored by git); regenerated only when the seed changes
# --seed     seed of the data (default: 1)
# --repeats  runs per measurement, the best one counts (default: 5)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
data=bench/data
seed=1
repeats=5
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --data) data="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --repeats) repeats="$2"; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

program="$build/cli/corvane-vorn"
bench="$build/bench/bench_chunk"
for exe in "$program" "$bench"; do
  if [ ! -x "$exe" ]; then
    echo "missing $exe; build first:" >&2
    echo "  cmake -S . -B $build -DCMAKE_BUILD_TYPE=Release && cmake --build $build -j" >&2
    exit 2
  fi
done
type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [ "$type" != "Release" ]; then
  echo "note: $build is a '${type:-unknown}' build; figures are meant for Release" >&2
fi

mkdir -p "$data"
"$bench" gen "$data" "$seed"

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
echo "load before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
"$bench" measure "$program" "$data/random.bin" "$repeats"
"$bench" measure "$program" "$data/tree" "$repeats"
echo "load after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"
