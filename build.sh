#!/usr/bin/env bash
# Builds and runs the project.
#   ./build.sh demo   install what is missing, build, run kvnhost install on the default machine,
#                     then check, then diff (what the install changed)
#   ./build.sh test   install what is missing, build every configuration (Linux, Linux with
#                     sanitizers, Windows), run every test (the Windows build under Wine)
#   ./build.sh bench  install what is missing, build, run kvnbench: one table of every cost
#                     beside its floor, its ratio, its goal and whether it is met (further
#                     arguments go to kvnbench, e.g. ./build.sh bench --section 2 --repeat 10)
#   ./build.sh fuzz SECONDS
#                     install what is missing (clang and its libFuzzer runtime), build the
#                     fuzz targets and run each for SECONDS (60 when not given)
#   ./build.sh sweep  install what is missing, build with the sanitizers, and fail every winsim
#                     call of check and install on the default and vf-guest machines in turn
#                     (tools/faultsweep, every fault point), then end install at every call and
#                     crash it twice (--crash, --crash-twice); further arguments go to faultsweep
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)

# Debian packages the build and the tests need (only installed when missing).
packages=(cmake g++ make pkg-config libexpat1-dev libtomlplusplus-dev nlohmann-json3-dev
          libcli11-dev libgtest-dev libgmock-dev clang-format)
# The Windows build and its tests under Wine.
windows_packages=(mingw-w64 wine64 dpkg-dev)
# The browser the test of kvnhost matrix's page renders it in.
browser_packages=(chromium)

missing_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]:-}"
}

install_missing() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "build.sh: missing Debian packages: $missing (run as root or install them)" >&2
    exit 2
  fi
  echo "build.sh: installing $missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# The fuzz build: clang, and the runtime of libFuzzer and the sanitizers that matches it.
fuzz_packages=(clang)
clang_runtime_package() {
  echo "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
}

# Packages kept at the archive's current (security) update, not just present.
current_packages=(libexpat1-dev libexpat1)

upgrade_to_current() {
  local p installed candidate outdated=()
  for p in "$@"; do
    installed=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || true)
    candidate=$(apt-cache policy "$p" 2>/dev/null | awk '/Candidate:/ {print $2}')
    if [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && [ "$installed" != "$candidate" ]; then
      outdated+=("$p=$candidate")
    fi
  done
  [ "${#outdated[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "build.sh: outdated Debian packages: ${outdated[*]} (run as root or upgrade them)" >&2
    exit 2
  fi
  echo "build.sh: upgrading ${outdated[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${outdated[@]}" >/dev/null
}

jobs=$(nproc 2>/dev/null || echo 2)

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

case "${1:-}" in
  demo)
    install_missing "${packages[@]}"
    upgrade_to_current "${current_packages[@]}"
    build_preset linux
    bin=build/linux/bin
    state=$(mktemp -d /tmp/kvnhost-demo.XXXXXX)
    rmdir "$state"
    # Install (the report shows the result, the message and what the run wrote to both logs),
    # then ask the component again what it finds installed, then show what the install changed.
    set +e
    echo "===== kvnhost install"
    "$bin/kvnhost" --state "$state" --verbose-log install
    rc=$?
    echo
    echo "===== kvnhost check (after the install)"
    "$bin/kvnhost" --state "$state" check
    echo
    echo "===== kvnhost diff (what the install changed on the machine)"
    "$bin/kvnhost" --state "$state" diff
    set -e
    echo
    echo "demo: machine state in $state (exit status of install: $rc)"
    ;;
  test)
    install_missing "${packages[@]}" "${windows_packages[@]}" "${browser_packages[@]}"
    upgrade_to_current "${current_packages[@]}"
    build_preset linux
    ctest --preset linux
    build_preset asan
    ctest --preset asan
    "$top/cmake/windows-deps.sh" "$top/build/deps/expat-mingw"
    build_preset windows
    ctest --preset wine
    # Formatting is part of the test: the checked-in .clang-format decides.
    "$top/tools/check-format.sh"
    ;;
  bench)
    install_missing "${packages[@]}"
    upgrade_to_current "${current_packages[@]}"
    build_preset linux
    build/linux/bin/kvnbench "${@:2}"
    ;;
  fuzz)
    install_missing "${packages[@]}" "${fuzz_packages[@]}"
    install_missing "$(clang_runtime_package)"
    upgrade_to_current "${current_packages[@]}"
    build_preset fuzz
    fuzz/run.sh build/fuzz/bin "${2:-60}"
    ;;
  sweep)
    install_missing "${packages[@]}"
    upgrade_to_current "${current_packages[@]}"
    build_preset asan
    status=0
    for machine in default vf-guest; do
      for command in check install; do
        build/asan/bin/faultsweep --machine "build/asan/examples/machines/$machine" \
          --exceptions tools/faultsweep/exceptions.txt --verbose-log --mode full --jobs "$jobs" --timeout 300 \
          "${@:2}" "$command" || status=1
      done
      # Every call of install ended as if the host were killed, and the double crash.
      for crash in "--crash --mode full" "--crash-twice"; do
        # shellcheck disable=SC2086
        build/asan/bin/faultsweep --machine "build/asan/examples/machines/$machine" \
          --exceptions tools/faultsweep/exceptions.txt --verbose-log $crash --jobs "$jobs" --timeout 300 \
          "${@:2}" install || status=1
      done
    done
    # Two faults at once: each call of the re-enable walk's first pass, then each later call.
    build/asan/bin/faultsweep --machine build/asan/examples/machines/default \
      --exceptions tools/faultsweep/exceptions.txt --mode grouped --jobs "$jobs" --timeout 300 \
      --pairs SetupDiGetClassDevsW:9..SetupDiDestroyDeviceInfoList "${@:2}" install || status=1
    exit $status
    ;;
  *)
    echo "usage: ./build.sh demo | test | bench | fuzz [SECONDS] | sweep [faultsweep options]" >&2
    exit 2
    ;;
esac
