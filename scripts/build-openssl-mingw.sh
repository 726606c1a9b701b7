#!/usr/bin/env bash
# Cross-builds static libssl and libcrypto for 64-bit Windows from Debian's
# OpenSSL source package, at the one version pinned below, into a cache
# outside the source tree. Prints the install prefix (for OPENSSL_ROOT_DIR)
# on standard output, and nothing else there.
#   TARNWICK_CACHE            cache root (default: ~/.cache/tarnwick)
#   TARNWICK_OPENSSL_VERSION  another Debian version of the source package
#                             (for trying a new one before pinning it)
#
# The Windows programs carry this OpenSSL inside them, so the version is
# chosen, never taken from whatever a mirror or the cache happens to hold:
# when the pinned source cannot be fetched and no build of exactly that
# version is cached, the script fails and says so.
set -euo pipefail
exec 3>&1 1>&2  # everything but the prefix goes to standard error

# Bump with care: the zip's name carries the upstream part (3.0.20).
pinned=3.0.20-1~deb12u2
version=${TARNWICK_OPENSSL_VERSION:-$pinned}
upstream=${version#*:}
upstream=${upstream%-*}

cache_root=${TARNWICK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick}
prefix=$cache_root/openssl-mingw64-$version
fail() {
  echo "build-openssl-mingw: $*" >&2
  exit 1
}
# shellcheck source-path=SCRIPTDIR source=deb-source.sh
. "$(dirname "${BASH_SOURCE[0]}")/deb-source.sh"

# The cache is keyed by the whole Debian version (the directory's name);
# what the directory holds must also say the same upstream version, so that
# a copied or half-written one is not taken for it.
cached_version() {
  sed -n 's/^# *define OPENSSL_VERSION_STR "\(.*\)"$/\1/p' "$prefix/include/openssl/opensslv.h" 2>/dev/null
}
if [ -f "$prefix/lib/libssl.a" ] && [ -f "$prefix/lib/libcrypto.a" ]; then
  have=$(cached_version)
  [ "$have" = "$upstream" ] ||
    fail "$prefix holds OpenSSL ${have:-of no known version}, not $upstream; remove it to build $version again"
  echo "OpenSSL $version: cached in $prefix"
  echo "$prefix" >&3
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/openssl-src.XXXXXX")
trap 'rm -rf "$work"' EXIT
deb_source openssl "$version" "$pinned" TARNWICK_OPENSSL_VERSION "$work"
cd "$work/openssl/src"
echo "==> cross-building OpenSSL $version for mingw64 into $prefix (a few minutes)"
# Thousands of compiler lines: kept in a log, shown only when a step fails.
log=$work/build.log
if ! { ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests \
         --prefix="$prefix.partial" --libdir=lib &&
       make -j"$(nproc)" build_libs &&
       rm -rf "$prefix.partial" "$prefix" &&
       make install_dev; } >"$log" 2>&1; then
  tail -n 60 "$log"
  fail "OpenSSL $version: cross-build failed"
fi
mv "$prefix.partial" "$prefix"
have=$(cached_version)
[ "$have" = "$upstream" ] || fail "the source package $version built OpenSSL ${have:-of no known version}, not $upstream"
echo "$prefix" >&3
