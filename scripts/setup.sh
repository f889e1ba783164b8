#!/usr/bin/env bash
# Installs the Debian packages the build needs (when run as root and something is missing),
# then configures and builds into the folder given (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev clang libclang-rt-14-dev
          libcli11-dev nlohmann-json3-dev gettext locales libcsv-dev libxml2-dev chromium
          libpq-dev postgresql libtomlplusplus-dev libhowardhinnant-date-dev tzdata
          libcpp-httplib-dev libkainjow-mustache-dev libsodium-dev libssl-dev openssl pkg-config
          chromium-driver python3-selenium python3-jsonschema fonts-wqy-zenhei stress-ng prometheus
          libxlsxwriter-dev python3-openpyxl
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wine64-tools wine32:i386 nsis)
# wine32 (Wine's 32-bit half, for the 32-bit components) comes from the i386 architecture.
if [ "$(id -u)" -eq 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "Missing packages (run as root to install them): ${missing[*]}" >&2
    exit 1
  fi
fi

# The zh_CN.UTF-8 locale, for the host's Chinese messages (vanto falls back to LANGUAGE with
# C.UTF-8 when it is missing, so this only makes the real locale available too).
if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  if [ -f /etc/locale.gen ] && command -v locale-gen >/dev/null; then
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null
  fi
fi

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
