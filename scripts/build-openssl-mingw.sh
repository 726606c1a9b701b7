#!/usr/bin/env bash
# Cross-builds static libssl and libcrypto for 64-bit Windows from Debian's
# OpenSSL source package, once per version, into a cache outside the source
# tree. Prints the install prefix (for OPENSSL_ROOT_DIR) on standard output,
# and nothing else there.
#   TARNWICK_CACHE  cache root (default: ~/.cache/tarnwick)
set -euo pipefail
exec 3>&1 1>&2  # everything but the prefix goes to standard error

cache_root=${TARNWICK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick}
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The source package needs a deb-src entry: the same URIs and suites as the
# machine's Debian entry.
if [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo[@]}" tee /etc/apt/sources.list.d/tarnwick-deb-src.sources >/dev/null
  elif grep -q '^deb ' /etc/apt/sources.list 2>/dev/null; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      "${sudo[@]}" tee /etc/apt/sources.list.d/tarnwick-deb-src.list >/dev/null
  else
    echo "no Debian apt entry to derive a deb-src entry from" >&2
    exit 1
  fi
  "${sudo[@]}" apt-get update -qq
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/openssl-src.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Newest version first: a cached one is used as it is, otherwise it is
# fetched and built. An older version is taken only when the newer cannot be
# fetched (a mirror may list a version whose files it lacks).
versions=$(apt-cache showsrc openssl | awk '/^Version:/ {print $2}' | sort -Vru)
[ -n "$versions" ] || { echo "openssl source package not found" >&2; exit 1; }
for version in $versions; do
  prefix=$cache_root/openssl-mingw64-$version
  if [ -f "$prefix/lib/libssl.a" ] && [ -f "$prefix/lib/libcrypto.a" ]; then
    echo "$prefix" >&3
    exit 0
  fi
  rm -rf "${work:?}"/*
  # apt downloads as root here (with a notice): its sandbox user cannot
  # write into a private temporary directory.
  (cd "$work" && apt-get source -qq --download-only "openssl=$version") || continue
  (cd "$work" && dpkg-source -x openssl_*.dsc src)
  cd "$work/src"
  echo "==> cross-building OpenSSL $version for mingw64 into $prefix (a few minutes)"
  # Thousands of compiler lines: kept in a log, shown only when a step fails.
  log=$work/build.log
  if ! { ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests \
           --prefix="$prefix.partial" --libdir=lib &&
         make -j"$(nproc)" build_libs &&
         rm -rf "$prefix.partial" "$prefix" &&
         make install_dev; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "OpenSSL $version: cross-build failed" >&2
    exit 1
  fi
  mv "$prefix.partial" "$prefix"
  echo "$prefix" >&3
  exit 0
done
echo "no version of the openssl source package could be fetched" >&2
exit 1
