#!/usr/bin/env bash
# Store throughput of corvane-vorn against the local S3 test server, side by
# side with curl (--aws-sigv4) doing the same requests in the same run.
#
#   bench/storage_bench.sh [path/to/corvane-vorn] [big-objects] [head-requests] [rounds]
#
# Puts and gets big-objects objects of 16 MiB and heads head-requests small
# objects, one process per request for both tools, and prints MiB/s and
# requests/s. With rounds > 1 the whole set is repeated, the two tools taking
# turns within each round, and the best time of each is kept (on a busy
# machine noise only ever adds time). Both sign the payload hash of every
# upload: corvane-vorn hashes the body itself, for curl sha256sum does it
# inside the timed loop.
set -euo pipefail
cd "$(dirname "$0")/.."

vorn=${1:-build/cli/corvane-vorn}
big=${2:-8}
heads=${3:-100}
rounds=${4:-1}
size=$((16 * 1024 * 1024))
[ -x "$vorn" ] || { echo "no executable at $vorn (build first)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is needed" >&2; exit 2; }

work=$(mktemp -d)
source scripts/lib/test_server.sh
cleanup() {
  stop_test_server
  rm -rf "$work"
}
trap cleanup EXIT

access=bench-access
secret=bench-secret
bucket=bench
start_test_server "$work/data" "$work/server.log" "$bucket" "$access" "$secret"
endpoint="$VORN_S3_ENDPOINT"
sigv4=(--aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret")
empty_hash=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855

head -c "$size" /dev/urandom >"$work/big.bin"
printf 'small object\n' >"$work/small.txt"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
rate() { echo "scale=1; $1 / $2" | bc -l; }

# Runs "$@" once per index 1..count with {} replaced by the index; prints seconds.
timed() {
  local count=$1
  shift
  local start end i
  start=$(now)
  for i in $(seq "$count"); do
    "${@//\{\}/$i}" >/dev/null || { echo "request failed: ${*//\{\}/$i}" >&2; exit 1; }
  done
  end=$(now)
  elapsed "$start" "$end"
}

curl_ok() { curl -sS --fail -o /dev/null "$@"; }
curl_put() {
  local file=$1 url=$2 hash
  hash=$(sha256sum "$file" | cut -d' ' -f1)
  curl_ok "${sigv4[@]}" -H "x-amz-content-sha256: $hash" -T "$file" "$url"
}
curl_get() { local out=$1; shift; curl -sS --fail -o "$out" "$@"; }

# Warm both paths once (page cache, server start-up).
"$vorn" storage put warm "$work/small.txt" >/dev/null
curl_put "$work/small.txt" "$endpoint/$bucket/warm"

mib=$(echo "$big * 16" | bc)
"$vorn" storage put small "$work/small.txt" >/dev/null
min() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }
t_vput="" t_cput="" t_vget="" t_cget="" t_vhead="" t_chead=""
for _ in $(seq "$rounds"); do
  t=$(timed "$big" "$vorn" storage put "vorn/big{}" "$work/big.bin")
  t_vput=$(min "$t_vput" "$t")
  t=$(timed "$big" curl_put "$work/big.bin" "$endpoint/$bucket/curl/big{}")
  t_cput=$(min "$t_cput" "$t")
  t=$(timed "$big" "$vorn" storage get "vorn/big{}" "$work/vorn.out")
  t_vget=$(min "$t_vget" "$t")
  t=$(timed "$big" curl_get "$work/curl.out" "${sigv4[@]}" -H "x-amz-content-sha256: $empty_hash" \
    "$endpoint/$bucket/curl/big{}")
  t_cget=$(min "$t_cget" "$t")
  cmp -s "$work/vorn.out" "$work/big.bin" || { echo "vorn get returned other bytes" >&2; exit 1; }
  cmp -s "$work/curl.out" "$work/big.bin" || { echo "curl get returned other bytes" >&2; exit 1; }
  t=$(timed "$heads" "$vorn" storage head small)
  t_vhead=$(min "$t_vhead" "$t")
  t=$(timed "$heads" curl_ok "${sigv4[@]}" -H "x-amz-content-sha256: $empty_hash" -I \
    "$endpoint/$bucket/small")
  t_chead=$(min "$t_chead" "$t")
done

printf '%-22s %14s %14s %8s\n' "operation" "corvane-vorn" "curl" "ratio"
row() {
  local name=$1 unit=$2 amount=$3 tv=$4 tc=$5
  local rv rc
  rv=$(rate "$amount" "$tv")
  rc=$(rate "$amount" "$tc")
  printf '%-22s %9s %-4s %9s %-4s %8s\n' "$name" "$rv" "$unit" "$rc" "$unit" "$(echo "scale=2; $rv / $rc" | bc -l)"
}
row "put ${big}x16 MiB" "MiB/s" "$mib" "$t_vput" "$t_cput"
row "get ${big}x16 MiB" "MiB/s" "$mib" "$t_vget" "$t_cget"
row "head ${heads}x small" "req/s" "$heads" "$t_vhead" "$t_chead"
