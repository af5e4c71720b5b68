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

# Filling the store through one kept-alive connection is much faster than one
# program run per object; the requests are signed like the program's own.
fill_start=$(date +%s.%N)
python3 - "$objects" "$channels" <<'PY'
import datetime, hashlib, hmac, http.client, json, os, sys

objects, channels = int(sys.argv[1]), int(sys.argv[2])
endpoint = os.environ["VORN_S3_ENDPOINT"]
host = endpoint.split("://", 1)[1]
bucket, key_id, secret = (os.environ[n] for n in ("VORN_S3_BUCKET", "VORN_S3_KEY", "VORN_S3_SECRET"))
region = os.environ["VORN_S3_REGION"]
conn = http.client.HTTPConnection(host, timeout=30)

def sign(key, text):
    return hmac.new(key, text.encode(), hashlib.sha256).digest()

def put(key, body):
    now = datetime.datetime.now(datetime.timezone.utc)
    amz, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
    payload = hashlib.sha256(body).hexdigest()
    uri = "/" + bucket + "/" + key
    headers = f"host:{host}\nx-amz-content-sha256:{payload}\nx-amz-date:{amz}\n"
    signed = "host;x-amz-content-sha256;x-amz-date"
    request = f"PUT\n{uri}\n\n{headers}\n{signed}\n{payload}"
    scope = f"{day}/{region}/s3/aws4_request"
    to_sign = f"AWS4-HMAC-SHA256\n{amz}\n{scope}\n" + hashlib.sha256(request.encode()).hexdigest()
    k = sign(sign(sign(sign(("AWS4" + secret).encode(), day), region), "s3"), "aws4_request")
    signature = hmac.new(k, to_sign.encode(), hashlib.sha256).hexdigest()
    conn.request("PUT", uri, body, {
        "x-amz-date": amz, "x-amz-content-sha256": payload,
        "Authorization": f"AWS4-HMAC-SHA256 Credential={key_id}/{scope}, "
                         f"SignedHeaders={signed}, Signature={signature}"})
    answer = conn.getresponse()
    answer.read()
    if answer.status // 100 != 2:
        sys.exit(f"PUT {key} -> HTTP {answer.status}")

ids = [hashlib.sha256(str(i).encode()).hexdigest() for i in range(objects)]
for i, chunk_id in enumerate(ids):
    put(f"chunks/{chunk_id[:2]}/{chunk_id}", i.to_bytes(4, "little") * 64)
stride = max(1, (objects * 9 // 10 - 500) // max(1, channels - 1))
for c in range(channels):
    named = ids[c * stride:c * stride + 500]
    files = [{"chunks": [{"h": h, "n": 256}], "path": f"f{n}", "size": 256} for n, h in enumerate(named)]
    doc = {"build": "0" * 64, "channel": f"ch{c}", "created": 0, "files": files, "schema": 1}
    put(f"channels/ch{c}/manifest.json", json.dumps(doc, indent=2).encode())
    put(f"channels/ch{c}/manifest.json.sig", b"0" * 128)
PY
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
