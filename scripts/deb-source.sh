# shellcheck shell=bash
# Fetches a Debian source package at one exact version and unpacks it with
# Debian's patches applied, for the scripts that cross-build the Windows
# programs' libraries; sourced, never run. The caller defines fail (which
# exits).

# The source packages need a deb-src entry: the same URIs and suites as the
# machine's Debian entry.
deb_src_entry() {
  local sudo=()
  [ -z "$(apt-cache showsrc "$1" 2>/dev/null)" ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo[@]}" tee /etc/apt/sources.list.d/tarnwick-deb-src.sources >/dev/null
  elif grep -q '^deb ' /etc/apt/sources.list 2>/dev/null; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      "${sudo[@]}" tee /etc/apt/sources.list.d/tarnwick-deb-src.list >/dev/null
  else
    fail "no Debian apt entry to derive a deb-src entry from"
  fi
  "${sudo[@]}" apt-get update -qq
}

# deb_source <package> <version> <pinned> <override variable> <work dir>:
# the source in <work dir>/<package>/src. The version is the caller's choice,
# never what the mirror happens to hold: when it cannot be had, this fails
# saying what apt lists and where the pin lives.
deb_source() {
  local package=$1 version=$2 pinned=$3 override=$4 dir=$5/$1 listed
  deb_src_entry "$package"
  listed=$(apt-cache showsrc "$package" |
    awk -v p="$package" '/^Package:/ { ours = ($2 == p) } ours && /^Version:/ { print $2 }' |
    sort -Vru | paste -sd ' ')
  cannot() {
    fail "cannot fetch the $package source package $version ($1; pinned: $pinned)." \
      "The Windows programs are not linked against another version. apt lists: ${listed:-nothing}." \
      "Pin one of those in scripts/$(basename "$0") (or try it first with $override=...)."
  }
  case " $listed " in
    *" $version "*) ;;
    *) cannot "apt's source lists do not hold it" ;;
  esac
  mkdir -p "$dir"
  # apt downloads as root here (with a notice): its sandbox user cannot
  # write into a private temporary directory. Both steps are chatty, so
  # their output is shown only when they fail.
  (cd "$dir" && apt-get source -qq --download-only "$package=$version") >"$dir/fetch.log" 2>&1 || {
    cat "$dir/fetch.log"
    cannot "the mirror did not hand out its files"
  }
  (cd "$dir" && dpkg-source -x "${package}"_*.dsc src) >"$dir/unpack.log" 2>&1 || {
    cat "$dir/unpack.log"
    fail "cannot unpack the $package source package $version"
  }
}
