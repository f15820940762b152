#!/bin/sh
# Installs what building, running and testing the host needs on Debian 12.
# Idempotent: prints nothing and installs nothing when everything is present.
set -eu

PACKAGES="g++ cmake make pkg-config git ca-certificates libace-dev libnetsvcs-dev ace-netsvcs
libcap-dev libboost-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev libsystemd0 util-linux procps
iproute2 dpkg-dev file clang-14 libclang-rt-14-dev python3 man-db lintian debootstrap
systemd-container"

missing=""
for p in $PACKAGES; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
