#!/usr/bin/env bash
# Usage: test-package.sh <build dir>
#
# Installs the .deb built in <build dir> on this machine (as root, through
# sudo when not root), then uses what it installed as an operator would:
# versions, the manual pages, the completions, the unit template, and
# "tarnwick check" on the example configuration, first as shipped (no
# certificates: errors naming each missing file), then with certificates
# made by tarnwick-certs (clean). Then an upgrade over a relay set up as
# the packages that ran relays as root left it (root's key, a backup root
# and a save written by root): the save, the configuration and the user
# survive, and the unit's relay runs as tarnwick, reads its configuration
# and writes into that root. lintian finds nothing the overrides do not
# explain. At the end the package is purged (which leaves the data and the
# user), and what the run made is removed.
set -euo pipefail
build_dir=${1:?usage: test-package.sh <build dir>}
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build=$(cd "$build_dir" && pwd)
debs=("$build"/tarnwick_*.deb)
[ -f "${debs[0]}" ] || { echo "test-package: no tarnwick_*.deb in $build" >&2; exit 1; }
deb=${debs[0]}
fail_who=test-package
"$root/scripts/install-deps.sh" lintian

conf=/etc/tarnwick/example
inst=/etc/tarnwick/pkgtest
data=/var/lib/tarnwick/pkgtest
work=$(mktemp -d "${TMPDIR:-/tmp}/test-package.XXXXXX")
relay_pid=""
had_user=false
getent passwd tarnwick >/dev/null && had_user=true
show_logs() { show_log "relay log" "$work/relay.log" 30; }
cleanup() {
  stop_pids "$relay_pid"
  dpkg -s tarnwick >/dev/null 2>&1 && dpkg --purge tarnwick >/dev/null
  rm -rf "$work" "$inst" /etc/tarnwick/pkgout "$data" "$conf" /var/lib/tarnwick/example
  rmdir /etc/tarnwick /var/lib/tarnwick 2>/dev/null || true
  if ! $had_user; then
    userdel tarnwick 2>/dev/null || true
    groupdel tarnwick 2>/dev/null || true
  fi
}
install_traps
apt_install() {
  # apt-get resolves the package's dependencies (libssl3, openssl, adduser).
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=120 \
    --allow-downgrades "$(realpath "$1")" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "installing $1"; }
  grep '^tarnwick: ' "$work/apt.log" || true  # the postinst's notes
}
# An earlier run's package would make this one an upgrade from it.
dpkg -s tarnwick >/dev/null 2>&1 && dpkg --purge tarnwick >/dev/null

step "lintian $deb"
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
grep -v 'running with root privileges' <<<"$lint" | grep . && fail "lintian reported the tags above"

step "apt-get install $deb"
apt_install "$deb"
want_version=$("$build/tarnwick" --version)
[ "$(/usr/bin/tarnwick --version)" = "$want_version" ] || fail "installed tarnwick --version: $(/usr/bin/tarnwick --version), built: $want_version"
/usr/bin/tarnwick-send --version | grep -q '^tarnwick-send ' || fail "tarnwick-send --version"
/usr/bin/tarnwick-certs --help >/dev/null || fail "tarnwick-certs --help"
for f in /usr/share/man/man8/tarnwick.8.gz /usr/share/man/man1/tarnwick-send.1.gz /usr/share/man/man1/tarnwick-certs.1.gz \
  /usr/share/doc/tarnwick/copyright /usr/share/doc/tarnwick/changelog.Debian.gz \
  /usr/share/doc/tarnwick/monitoring/tarnwick-alerts.yml /usr/share/doc/tarnwick/monitoring/tarnwick-dashboard.json; do
  [ -s "$f" ] || fail "$f missing"
done
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' /usr/share/doc/tarnwick/copyright ||
  fail "copyright is not DEP-5"
for p in tarnwick tarnwick-send tarnwick-certs; do
  bash -c ". /usr/share/bash-completion/completions/$p && complete -p $p" >/dev/null || fail "no bash completion for $p"
done
unit=/lib/systemd/system/tarnwick@.service
for line in 'ExecStart=/usr/bin/tarnwick --dir /etc/tarnwick/%i' 'ProtectSystem=strict' User=tarnwick Group=tarnwick; do
  grep -qx "$line" "$unit" || fail "$unit: no $line"
done
dpkg-query -W -f='${Conffiles}\n' tarnwick | grep -q "$conf/settings.ini" || fail "the example configuration is not a conffile"
uid=$(id -u tarnwick) || fail "the postinst made no user tarnwick"
[ "$(id -gn tarnwick)" = tarnwick ] && [ "$uid" -lt 1000 ] || fail "tarnwick: not a system user in group tarnwick"

step "tarnwick check --dir $conf (as shipped: no certificates yet)"
rc=0
out=$(/usr/bin/tarnwick check --dir "$conf" 2>&1) || rc=$?
echo "$out"
[ "$rc" -eq 1 ] || fail "check without certificates exited $rc, not 1"
for f in cert.pem key.pem clientcert.pem; do
  grep -q "^error: .*$conf/$f" <<<"$out" || fail "check did not name the missing $f"
done
/usr/bin/tarnwick-certs --out "$work/certs" origin example pkgtest >/dev/null
cp "$work"/certs/example/*.pem "$conf"/
mkdir -p /var/lib/tarnwick/example
rc=0
out=$(/usr/bin/tarnwick check --dir "$conf" 2>&1) || rc=$?
echo "$out"
# Only the example's ports could be taken on a busy machine.
[ "$rc" -eq 0 ] || grep -q "Address already in use" <<<"$out" || fail "check with certificates exited $rc"
out=$(cd / && /usr/bin/tarnwick status 2>&1) && fail "status without --dir ran: $out"
grep -q 'give --dir /etc/tarnwick/NAME, or run the unit tarnwick@NAME' <<<"$out" || fail "no hint without --dir: $out"

step "a relay as the root-run packages left it, then an upgrade"
mapfile -t ports < <(free_ports 2)
port=${ports[0]} closure_port=${ports[1]}
# Everything root's; the PEM files readable by all, the key too, as a
# copy made with umask 022 leaves them.
install -d -m 700 "$inst" "$data"
install -m 644 "$work"/certs/pkgtest/*.pem "$inst"/
printf '[Backup]\nDir=%s\n[Connection]\nPort=%s\nClosurePort=%s\nPeerCN=origin\n' "$data" "$port" "$closure_port" >"$inst/settings.ini"
# One outside /var/lib/tarnwick, which the postinst must not touch.
install -d -m 700 /etc/tarnwick/pkgout "$work/outside"
printf '[Backup]\nDir=%s\n' "$work/outside" >/etc/tarnwick/pkgout/settings.ini
send() {
  /usr/bin/tarnwick-send --quiet --host 127.0.0.1 --port "$port" --peer-name pkgtest --repo pkgrepo \
    --ca "$work/certs/origin/ca.pem" --cert "$work/certs/origin/cert.pem" --key "$work/certs/origin/key.pem" "$1" ||
    fail "tarnwick-send $1 exited $?"
}
start_relay() {  # start_relay <command>...
  "$@" 2>"$work/relay.log" &
  relay_pid=$!
  wait_running "$work/relay.log" "$relay_pid" "the relay ($*)"
}
head -c 300000 /dev/urandom >"$work/first"
start_relay /usr/bin/tarnwick --dir "$inst"
send "$work/first"
stop_relay_pid relay_pid "the relay run as root"
save=$(find "$data/saves/pkgrepo" -type f ! -name '*_pending' | head -n 1)
cmp -s "$save" "$work/first" || fail "the first save is not in $data (${save:-no save})"
sums() { (cd "$inst" && sha256sum settings.ini ./*.pem); }
before=$(sums)

# The same package under a later version: dpkg upgrades, and the new
# postinst runs with the old version as its argument.
dpkg-deb -R "$deb" "$work/up"
sed -i 's/^Version: .*/&+up1/' "$work/up/DEBIAN/control"
dpkg-deb -b "$work/up" "$work/tarnwick_up.deb" >/dev/null
apt_install "$work/tarnwick_up.deb" >"$work/notes"
cat "$work/notes"
dpkg-query -W -f='${Version}\n' tarnwick | grep -q '+up1$' || fail "the upgrade did not install"
[ "$(id -u tarnwick)" = "$uid" ] || fail "the upgrade changed tarnwick's uid"
[ "$(sums)" = "$before" ] || fail "the upgrade changed the configuration"
cmp -s "$save" "$work/first" || fail "the upgrade changed the save"
[ "$(stat -c '%a %U:%G' "$inst/key.pem")" = "640 root:tarnwick" ] || fail "key.pem: $(stat -c '%a %U:%G' "$inst/key.pem")"
[ "$(stat -c %G "$inst")" = tarnwick ] || fail "$inst is not readable by the group tarnwick"
left=$(find "$data" ! -user tarnwick -o ! -group tarnwick)
[ -z "$left" ] || fail "not tarnwick's after the upgrade: $left"
[ "$(stat -c %U "$work/outside")" = root ] || fail "the postinst took $work/outside, outside /var/lib/tarnwick"
grep -q "pkgout: the backup root $work/outside is outside /var/lib/tarnwick" "$work/notes" || fail "no note on pkgout's root"

step "the unit's relay, as the user and group the unit names"
user=$(sed -n 's/^User=//p' "$unit") group=$(sed -n 's/^Group=//p' "$unit")
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
read -r -a cmd <<<"${exec_start//%i/pkgtest}"
if [ -d /run/systemd/system ]; then
  systemctl start tarnwick@pkgtest
  trap 'systemctl stop tarnwick@pkgtest; cleanup' EXIT
  for _ in $(seq 100); do systemctl -q is-active tarnwick@pkgtest && break; sleep 0.1; done
  pid=$(systemctl show -p MainPID --value tarnwick@pkgtest)
else
  # No systemd here (a container): the unit's command, its user and group.
  start_relay setpriv --reuid="$user" --regid="$group" --init-groups "${cmd[@]}"
  pid=$relay_pid
fi
[ "$(ps -o user= -p "$pid")" = tarnwick ] || fail "the relay runs as $(ps -o user= -p "$pid"), not tarnwick"
/usr/bin/tarnwick list | grep -Eq "^pkgtest +running +$data\$" || fail "tarnwick list: $(/usr/bin/tarnwick list)"
head -c 200000 /dev/urandom >"$work/second"
send "$work/second"  # into saves/pkgrepo, which root made
stored() { find "$data/saves/pkgrepo" -type f ! -name '*_pending' -exec cmp -s "$1" {} \; -print | grep -q .; }
stored "$work/second" || fail "the second save is not in $data"
/usr/bin/tarnwick verify --dir "$inst" | grep -q '^OK: checked 2 saves' || fail "verify: $(/usr/bin/tarnwick verify --dir "$inst")"
if [ -d /run/systemd/system ]; then systemctl stop tarnwick@pkgtest; else stop_relay_pid relay_pid "the relay run as tarnwick"; fi

step "dpkg --purge tarnwick: the data and the user stay"
dpkg --purge tarnwick >/dev/null
[ ! -e /usr/bin/tarnwick ] || fail "purged, /usr/bin/tarnwick is still there"
cmp -s "$save" "$work/first" || fail "the purge took the save"
getent passwd tarnwick >/dev/null || fail "the purge removed the user tarnwick"
echo "test-package: OK ($deb)"
