#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian
# machine; does nothing when everything is already there.
set -euo pipefail

packages=(g++ cmake ninja-build make libssl-dev openssl libgtest-dev nlohmann-json3-dev prometheus-cpp-dev python3 "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "==> installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
