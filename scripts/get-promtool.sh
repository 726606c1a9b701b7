#!/usr/bin/env bash
# Takes promtool out of Debian's prometheus package, without installing
# the server, into a cache outside the source tree, and prints its path on
# standard output (nothing else there).
#   TARNWICK_CACHE  cache root (default: ~/.cache/tarnwick)
#
# The version is apt's candidate for prometheus; a cached promtool of that
# version is used as it is, without the network. With no candidate known
# (no apt lists), the newest cached one serves. apt's lists are updated
# when they know no candidate, or name one the mirror no longer has.
set -euo pipefail
exec 3>&1 1>&2  # everything but the path goes to standard error

cache_root=${TARNWICK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick}
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
fail() {
  echo "get-promtool: $*" >&2
  exit 1
}
candidate() {
  apt-cache policy prometheus 2>/dev/null | awk '$1 == "Candidate:" && $2 != "(none)" {print $2}'
}
usable() { [ -x "$1" ] && "$1" --version >/dev/null 2>&1; }
found() {  # found <path>: print it as the answer and stop
  echo "$1" >&3
  exit 0
}
update_lists() {
  echo "promtool: apt-get update ($1)"
  "${sudo[@]}" apt-get update -qq || fail "apt-get update failed"
  version=$(candidate)
  [ -n "$version" ] || fail "apt has no candidate for the package prometheus (is Debian's main in the sources?)"
  dir=$cache_root/promtool-$version
  if usable "$dir/promtool"; then
    echo "promtool $version: cached in $dir"
    found "$dir/promtool"
  fi
}
# False only when apt-get download fails; anything else after it fails here.
work=""
trap 'rm -rf "$work"' EXIT
fetch() {
  rm -rf "$work"
  work=$(mktemp -d "${TMPDIR:-/tmp}/promtool.XXXXXX")
  # As root, apt fetches as its sandbox user _apt, which must be able to
  # write here (otherwise it downloads unsandboxed, with a notice).
  if [ "$(id -u)" -eq 0 ] && getent passwd _apt >/dev/null; then
    chown _apt "$work"
  fi
  echo "==> promtool: downloading prometheus $version (the package, not installed)"
  (cd "$work" && apt-get download -qq "prometheus=$version") || return 1
  local debs=("$work"/prometheus_*.deb)
  [ -f "${debs[0]}" ] || fail "apt-get download left no prometheus_*.deb in $work"
  dpkg-deb -x "${debs[0]}" "$work/x" || fail "dpkg-deb -x ${debs[0]} failed"
  [ -f "$work/x/usr/bin/promtool" ] || fail "prometheus $version holds no usr/bin/promtool"
  # Through a partial directory, so that a broken-off run leaves no
  # promtool that looks cached.
  rm -rf "$dir.partial"
  mkdir "$dir.partial"
  cp "$work/x/usr/bin/promtool" "$dir.partial/promtool"
  usable "$dir.partial/promtool" || fail "the promtool of prometheus $version does not run here"
  rm -rf "$dir"
  mv "$dir.partial" "$dir"
  echo "promtool $version: $("$dir/promtool" --version 2>&1 | head -n 1), in $dir"
}

version=$(candidate)
dir=$cache_root/promtool-$version
if [ -z "$version" ]; then
  newest=$(ls -d "$cache_root"/promtool-*/ 2>/dev/null | sort -V | tail -n 1)
  if [ -n "$newest" ] && usable "${newest}promtool"; then
    echo "promtool: apt knows no prometheus package; using the cached ${newest}promtool"
    found "${newest}promtool"
  fi
  update_lists "apt knows no prometheus package"
elif usable "$dir/promtool"; then
  echo "promtool $version: cached in $dir"
  found "$dir/promtool"
fi

mkdir -p "$cache_root" || fail "cannot make the cache directory $cache_root (TARNWICK_CACHE)"
if ! fetch; then
  update_lists "the download of prometheus $version failed; the lists may be stale"
  fetch || fail "apt-get download prometheus=$version failed (the network, or the mirror?)"
fi
found "$dir/promtool"
