# Sourced by the demo and the benchmarks: the local S3 test server.
#
# start_test_server DATA_DIR LOG BUCKET KEY SECRET
#   starts tests/s3/server.js on a free loopback port with its data in DATA_DIR
#   and its output in LOG, waits (30 s at most) until it listens, sets
#   server_pid and server_port, and exports the VORN_S3_* settings that point
#   the program at it; other VORN_* settings are cleared. Exits on failure.
# stop_test_server
#   stops it; safe to call when it is not running.
# wait_until_listening PID LOG
#   prints the port once LOG says "listening on 127.0.0.1:PORT" (30 s at most,
#   or until PID ends); prints nothing when it never does.

test_server_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
server_pid=""
server_port=""

wait_until_listening() {
  local pid="$1" log="$2" port="" _
  for _ in $(seq 1 300); do
    port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$log" | head -n 1)"
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$port"
}

start_test_server() {
  local data="$1" log="$2" bucket="$3" key="$4" secret="$5"
  mkdir -p "$data"
  # Without the legacy provider, Node 20 answers listings longer than a page with 500.
  node --openssl-legacy-provider "$test_server_root/tests/s3/server.js" --port 0 --dir "$data" \
    --bucket "$bucket" --access-key "$key" --secret "$secret" >"$log" 2>&1 &
  server_pid=$!
  server_port="$(wait_until_listening "$server_pid" "$log")"
  if [ -z "$server_port" ]; then
    echo "the local S3 test server did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
  unset VORN_CRYPT_KEY VORN_SIGN_KEY VORN_VERIFY_KEY VORN_REGISTER_URL VORN_REGISTER_TOKEN CORVANE_TOKEN
  export VORN_S3_ENDPOINT="http://127.0.0.1:$server_port" VORN_S3_REGION=us-east-1
  export VORN_S3_BUCKET="$bucket" VORN_S3_KEY="$key" VORN_S3_SECRET="$secret"
}

stop_test_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
