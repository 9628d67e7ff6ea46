#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Idempotent: when everything is present it only runs dpkg queries. Also raises the kernel's
# pipe limits that viewer sessions need.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  libspdlog-dev libfmt-dev libcxxopts-dev nlohmann-json3-dev libssl-dev libwolfssl-dev
  libglib2.0-dev libsoup-3.0-dev glib-networking libsqlite3-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-nice
  iproute2 procps python3 python3-websocket chromium nodejs openssl curl coturn
  clang libclang-rt-14-dev libfuzzer-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The TURN test starts its own turnserver in namespaces of its own; the package's service,
  # which a systemd host starts at once, is of no use here.
  if [[ " ${missing[*]} " == *" coturn "* ]] && [ -d /run/systemd/system ]; then
    "${sudo_cmd[@]}" systemctl disable --now coturn.service >/dev/null 2>&1 || true
  fi
fi

# Every viewer session gets two pipes of 10 MiB (the kernel rounds them up to 16 MiB). Without
# CAP_SYS_RESOURCE, even root may not grow a pipe past fs.pipe-max-size, and an unprivileged
# user's pipes together may not pass fs.pipe-user-pages-soft (0: no limit).
ensure_sysctl() {
  local name=$1 wanted=$2 current
  current=$(sysctl -n "$name")
  if [ "$wanted" -eq 0 ] && [ "$current" -eq 0 ]; then return; fi
  if [ "$wanted" -ne 0 ] && [ "$current" -ge "$wanted" ]; then return; fi
  echo "setup: $name=$wanted (was $current)"
  "${sudo_cmd[@]}" sysctl -q -w "$name=$wanted"
}
ensure_sysctl fs.pipe-max-size 16777216
ensure_sysctl fs.pipe-user-pages-soft 0
