#!/usr/bin/env bash
# Cross-builds static libssl and libcrypto for 64-bit Windows from Debian's
# OpenSSL source package, once per version, into a cache outside the source
# tree. Prints the install prefix (for OPENSSL_ROOT_DIR) on its last line.
#   TARNWICK_CACHE  cache root (default: ~/.cache/tarnwick)
set -euo pipefail

cache_root=${TARNWICK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick}
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The source package needs a deb-src entry: same URIs and suites as the
# machine's Debian entry.
if ! apt-cache showsrc openssl >/dev/null 2>&1 || [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
  src_list=/etc/apt/sources.list.d/tarnwick-deb-src.sources
  if [ ! -f "$src_list" ]; then
    main=/etc/apt/sources.list.d/debian.sources
    [ -f "$main" ] || { echo "no $main to derive a deb-src entry from" >&2; exit 1; }
    sed 's/^Types:.*/Types: deb-src/' "$main" | "${sudo[@]}" tee "$src_list" >/dev/null
  fi
  "${sudo[@]}" apt-get update -qq
fi

# Newest version first; a mirror may list a version whose files it lacks.
versions=$(apt-cache showsrc openssl | awk '/^Version:/ {print $2}' | sort -Vr)
[ -n "$versions" ] || { echo "openssl source package not found" >&2; exit 1; }
for version in $versions; do
  prefix=$cache_root/openssl-mingw64-$version
  if [ -f "$prefix/lib/libssl.a" ] && [ -f "$prefix/lib/libcrypto.a" ]; then
    echo "$prefix"
    exit 0
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/openssl-src.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt's download user must be able to write here
fetched=
for version in $versions; do
  if (cd "$work" && apt-get source -qq --download-only "openssl=$version" >&2); then
    fetched=$version
    break
  fi
  rm -f "$work"/openssl_*
done
[ -n "$fetched" ] || { echo "no openssl source could be fetched" >&2; exit 1; }
version=$fetched
prefix=$cache_root/openssl-mingw64-$version
(cd "$work" && dpkg-source -x openssl_*.dsc src >&2)
cd "$work/src"
echo "==> cross-building OpenSSL $version for mingw64 into $prefix" >&2
./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests \
  --prefix="$prefix.partial" --libdir=lib >&2
make -j"$(nproc)" build_libs >&2
rm -rf "$prefix.partial"
make install_dev >&2
mv "$prefix.partial" "$prefix"
echo "$prefix"
