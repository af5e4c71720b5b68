# Sourced by setup, test and demo: what a machine needs before the program can
# be built, tested and shown, and whether it already has it.
#
# vorn_packages         the Debian packages setup installs (array)
# missing_packages      prints those not installed, one a line
# missing_prerequisites prints what is missing for WHAT ("build" for a configured
#                       build in build/, "program" for build/cli/corvane-vorn,
#                       "tools" for packages and the test server only), one a line

vorn_packages=(build-essential cmake pkg-config libsodium-dev libcurl4-openssl-dev libzstd-dev
               libjsoncpp-dev librust-blake3-dev libgtest-dev zstd curl
               openssl  # the tests' certificate authority for HTTPS
               radosgw ceph-mon ceph-osd ceph-common  # the conformance run against Ceph (scripts/rgw)
               python3 strace time  # these three for the benchmark scripts
               clang-14 libclang-rt-14-dev  # these two for scripts/fuzz (libFuzzer)
               clang-format)  # clang-format 14, for scripts/format
# Node runs the local S3 test server; keep a Node that is already there.
command -v node >/dev/null 2>&1 || vorn_packages+=(nodejs)
command -v npm >/dev/null 2>&1 || vorn_packages+=(npm)

missing_packages() {
  local p
  for p in "${vorn_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# The test server's npm packages are in place when every package of the lock
# file is installed at its locked version (optional ones may be absent).
test_server_installed() {
  [ -d tests/s3/node_modules ] && command -v node >/dev/null 2>&1 || return 1
  (cd tests/s3 && node -e '
    const fs = require("fs");
    const packages = JSON.parse(fs.readFileSync("package-lock.json", "utf8")).packages || {};
    for (const [where, locked] of Object.entries(packages)) {
      if (!where) continue;
      let version = null;
      try { version = JSON.parse(fs.readFileSync(where + "/package.json", "utf8")).version; } catch (e) {}
      if (version !== locked.version && !(version === null && locked.optional)) process.exit(1);
    }' 2>/dev/null)
}

missing_prerequisites() {
  local what="$1"
  missing_packages
  test_server_installed || echo "tests/s3/node_modules"
  case "$what" in
    build) [ -f build/CMakeCache.txt ] || echo "build/ (not configured)" ;;
    program) [ -x build/cli/corvane-vorn ] || echo "build/cli/corvane-vorn" ;;
  esac
}

# Runs scripts/setup when something WHAT needs is missing, saying what.
ensure_prerequisites() {
  local missing
  missing="$(missing_prerequisites "$1" | tr '\n' ' ')"
  [ -z "$missing" ] && return 0
  echo "missing: ${missing% } - running scripts/setup first" >&2
  scripts/setup
}
