#!/usr/bin/env bash
# Usage: test-package.sh <build dir>
#
# Installs the .deb built in <build dir> on this machine (as root, through
# sudo when not root), then uses what it installed as an operator would:
# versions, the manual pages, the unit template, and "tarnwick check" on the
# example configuration, first as shipped (no certificates: errors naming
# each missing file), then with certificates made by tarnwick-certs (clean).
set -euo pipefail
build=${1:?usage: test-package.sh <build dir>}
debs=("$build"/tarnwick_*.deb)
[ -f "${debs[0]}" ] || { echo "test-package: no tarnwick_*.deb in $build" >&2; exit 1; }
deb=${debs[0]}

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
fail() { echo "test-package: FAILED: $*" >&2; exit 1; }

echo "==> dpkg -i $deb"
# apt-get resolves the package's dependencies (libssl3, openssl) too.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$(realpath "$deb")" >/dev/null
"${sudo[@]}" dpkg -i "$deb" >/dev/null

want_version=$("$build/tarnwick" --version)
[ "$(/usr/bin/tarnwick --version)" = "$want_version" ] || fail "installed tarnwick --version: $(/usr/bin/tarnwick --version), built: $want_version"
/usr/bin/tarnwick-send --version | grep -q '^tarnwick-send ' || fail "tarnwick-send --version"
/usr/bin/tarnwick-certs --help >/dev/null || fail "tarnwick-certs --help"
for page in /usr/share/man/man8/tarnwick.8 /usr/share/man/man1/tarnwick-send.1; do
  [ -s "$page" ] || fail "$page missing"
done
unit=/lib/systemd/system/tarnwick@.service
grep -qx 'ExecStart=/usr/bin/tarnwick --dir /etc/tarnwick/%i' "$unit" || fail "$unit: ExecStart"
grep -qx 'ProtectSystem=strict' "$unit" || fail "$unit: not hardened"
dpkg-query -W -f='${Conffiles}\n' tarnwick | grep -q /etc/tarnwick/example/settings.ini ||
  fail "the example configuration is not a conffile"

conf=/etc/tarnwick/example
echo "==> tarnwick check --dir $conf (as shipped: no certificates yet)"
set +e
out=$(/usr/bin/tarnwick check --dir "$conf" 2>&1)
rc=$?
set -e
echo "$out"
[ "$rc" -eq 1 ] || fail "check without certificates exited $rc, not 1"
for f in cert.pem key.pem clientcert.pem; do
  grep -q "^error: .*$conf/$f" <<<"$out" || fail "check did not name the missing $f"
done

echo "==> certificates from tarnwick-certs, then check again"
work=$(mktemp -d)
trap '"${sudo[@]}" rm -rf "$work" "$conf"/*.pem /var/lib/tarnwick/example' EXIT
/usr/bin/tarnwick-certs --out "$work" origin example >/dev/null
"${sudo[@]}" cp "$work"/example/*.pem "$conf"/
"${sudo[@]}" mkdir -p /var/lib/tarnwick/example
set +e
out=$(/usr/bin/tarnwick check --dir "$conf" 2>&1)
rc=$?
set -e
echo "$out"
# Only the example's ports could be taken on a busy machine.
if [ "$rc" -ne 0 ] && ! grep -q "Address already in use" <<<"$out"; then
  fail "check with certificates exited $rc"
fi
echo "test-package: OK ($deb)"
