# Sourced by the benchmarks: small helpers and the test server's fault layer
# (its /__faults path) as a delay line.
#
# mbps BYTES SECONDS          MB/s (10^6 bytes) with one decimal
# ratio A B                   A / B with two decimals, "-" when either is missing
# tree_bytes DIR              bytes in the regular files under DIR
# require_tools TOOL...       exits 2 naming the first one missing
# machine_line / load_line    what the figures were taken on
#
# proxy_endpoint              the endpoint of the running test server's fault layer
# set_proxy_delay MS          every request there waits MS ms before it is served
#                             (0: no rule, requests pass straight through)
# proxy_requests              requests the fault layer has seen since the server started

bench_lib_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

mbps() { python3 -c "print(f'{$1 / 1e6 / max($2, 1e-9):.1f}')"; }

ratio() {
  if [ -z "${1:-}" ] || [ -z "${2:-}" ] || [ "$1" = - ] || [ "$2" = - ]; then
    echo -
  else
    python3 -c "print(f'{$1 / max($2, 1e-9):.2f}')"
  fi
}

tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 2; }
  done
}

machine_line() { echo "$(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"; }
load_line() { cut -d ' ' -f 1-3 /proc/loadavg; }

proxy_endpoint() { echo "http://127.0.0.1:$server_port/__faults"; }

# A stall rule with no "times" holds every request; a delay of 0 must be no
# rule at all, since the fault layer reads a stall of 0 ms as its default delay.
set_proxy_delay() {
  local rules='[]'
  [ "$1" -gt 0 ] && rules="[{\"path\":\"\",\"fault\":\"stall\",\"delayMs\":$1}]"
  curl -sS --fail -G --data-urlencode "$rules" "$(proxy_endpoint)/__control/rules" >/dev/null || {
    echo "could not set the fault proxy's rules" >&2
    exit 1
  }
}

proxy_requests() {
  curl -sS --fail "$(proxy_endpoint)/__control/stats" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["requests"])'
}
