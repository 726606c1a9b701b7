#!/usr/bin/env bash
# tarnwick-certs end to end: the files it writes, used as they are by real
# relays on 127.0.0.1, carry a backup origin -> relay-a -> relay-b with
# either end of the forward hop dialling; a certificate from another CA, or
# from the right CA under the wrong name, is refused; a second run keeps the
# CA and the keys; a bad name is refused before anything is written.
#
# usage: certs_tool_test.sh <tarnwick> <tarnwick-send> <tarnwick-certs>
# KEEP=1 leaves the work directory (certificates, logs) for a look.
set -euo pipefail

[ "$#" -eq 3 ] || { echo "usage: $0 <tarnwick> <tarnwick-send> <tarnwick-certs>" >&2; exit 2; }
relay_bin=$1 send_bin=$2 certs_tool=$3

# shellcheck source-path=SCRIPTDIR source=../../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/certs-tool-test.XXXXXX")
declare -A pid=()
fail_who=certs_tool_test
show_logs() {
  local r
  for r in relay-a relay-b; do show_log "$r log" "$work/$r.log" 30; done
}
cleanup() {
  stop_pids "${pid[@]}"
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
install_traps

certs=$work/certs

# ---- command line ---------------------------------------------------------------

"$certs_tool" --help | grep -q '^usage: tarnwick-certs --out DIR' || fail "--help prints no usage"
for bad in 'relay a' 'relay/a' '-relay' 'relay;a' 'rélay'; do
  rc=0
  "$certs_tool" --out "$certs" origin "$bad" 2>"$work/bad.err" || rc=$?
  [ "$rc" -eq 2 ] || fail "name '$bad' gave exit $rc, expected 2"
  grep -q "refused name\|unknown option" "$work/bad.err" || fail "name '$bad': no reason given: $(cat "$work/bad.err")"
done
rc=0
"$certs_tool" --out "$certs" origin origin 2>/dev/null || rc=$?
[ "$rc" -eq 2 ] || fail "a name given twice gave exit $rc, expected 2"
[ ! -e "$certs" ] || fail "a refused command line still wrote $certs"

# ---- first and second run -------------------------------------------------------

"$certs_tool" --out "$certs" origin relay-a relay-b >"$work/first.out" || fail "first run failed"
grep -q 'relay-a: \[Connection\] PeerCN=origin *\[Forward\] PeerCN=relay-b' "$work/first.out" ||
  fail "the summary does not give relay-a's PeerCN names: $(cat "$work/first.out")"
for f in origin/cert.pem origin/key.pem origin/ca.pem \
  relay-a/cert.pem relay-a/key.pem relay-a/clientcert.pem relay-a/servercert.pem relay-a/forwardcert.pem \
  relay-b/cert.pem relay-b/key.pem relay-b/clientcert.pem relay-b/servercert.pem; do
  [ -s "$certs/$f" ] || fail "$f was not written"
done
[ ! -e "$certs/relay-b/forwardcert.pem" ] || fail "the last relay got a forwardcert.pem"
[ "$(stat -c %a "$certs/relay-a/key.pem")" = 600 ] || fail "relay-a's key is readable by others"

fp() { openssl x509 -in "$1" -noout -fingerprint -sha256; }
ca_before=$(fp "$certs/ca/ca.cert.pem")
cp "$certs/relay-a/key.pem" "$work/relay-a.key.before"
"$certs_tool" --out "$certs" origin relay-a relay-b >"$work/second.out" || fail "second run failed"
[ "$(fp "$certs/ca/ca.cert.pem")" = "$ca_before" ] || fail "a second run replaced the CA"
cmp -s "$certs/relay-a/key.pem" "$work/relay-a.key.before" || fail "a second run replaced relay-a's key"
grep -q '^CA (kept)' "$work/second.out" || fail "the second run does not say it kept the CA"

# A stranger: right name, another CA.
"$certs_tool" --out "$work/stranger" origin relay-x >/dev/null || fail "stranger run failed"

# ---- relays built from the node directories ----------------------------------------

# relay_from_node <name> <settings body>: the program, settings.ini and the node's
# PEM files in one directory; the forward and closure contexts read theirs
# from the backup root, so those get copies too.
relay_from_node() {
  local name=$1 dir=$work/$1 root=$work/$1-root
  rm -rf "$dir" "$root"
  mkdir -p "$dir" "$root"
  cp "$relay_bin" "$dir/tarnwick"
  cp "$certs/$name"/*.pem "$dir/"
  cp "$certs/$name"/*.pem "$root/"
  printf '[Backup]\nDir=%s\n%s\n' "$root" "$2" >"$dir/settings.ini"
}

start_relay() {
  "$work/$1/tarnwick" >"$work/$1.log" 2>&1 &
  pid[$1]=$!
  wait_running "$work/$1.log" "${pid[$1]}" "$1"
}
stop_relay() { stop_relay_pid "pid[$1]" "$1"; }

# send <port> <cert dir> <repo> <file>: tarnwick-send's exit status.
send() {
  local rc=0
  "$send_bin" --quiet --host 127.0.0.1 --port "$1" --peer-name relay-a --ca "$certs/origin/ca.pem" \
    --cert "$2/cert.pem" --key "$2/key.pem" --repo "$3" --wait 20 "$4" 2>>"$work/send.log" || rc=$?
  echo "$rc"
}

# expect_at_b <repo> <payload>: one complete save at relay-b, byte for byte.
expect_at_b() {
  local dir=$work/relay-b-root/saves/$1 deadline=$((SECONDS + 30)) save
  while ((SECONDS < deadline)); do
    kill -0 "${pid[relay-a]}" 2>/dev/null || fail "relay-a died"
    kill -0 "${pid[relay-b]}" 2>/dev/null || fail "relay-b died"
    # Until the first byte arrives the directory does not exist.
    save=$(find "$dir" -type f ! -name '*_pending' 2>/dev/null | head -n 1) || true
    if [ -n "$save" ] && [ ! -e "${save}_pending" ] && cmp -s "$2" "$save"; then
      return 0
    fi
    sleep 0.1
  done
  fail "relay-b holds no complete copy of $1 after 30 s: $(find "$dir" 2>/dev/null | tr '\n' ' ')"
}

# relay-a's inbound side, the same in both directions: the origin dials in.
relay_a_inbound() {
  printf '[Connection]\nPort=%s\nClosurePort=%s\nPeerCN=origin\nRequireClientCert=1\nThrottlingEnabled=0' \
    "$a_port" "$a_closure"
}

payload=$work/payload.bin
head -c 300000 /dev/urandom >"$payload"

# ---- (a) relay-a dials relay-b ------------------------------------------------------

read -r a_port a_closure b_port b_closure < <(free_ports 4 | xargs)
relay_from_node relay-a "$(relay_a_inbound)
[Forward]
Host=127.0.0.1
Port=$b_port
PeerCN=relay-b"
relay_from_node relay-b "[Connection]
Port=$b_port
ClosurePort=$b_closure
PeerCN=relay-a
RequireClientCert=1
ThrottlingEnabled=0"
start_relay relay-b
start_relay relay-a

rc=$(send "$a_port" "$certs/origin" push "$payload")
[ "$rc" -eq 0 ] || fail "tarnwick-send to relay-a exited $rc"
expect_at_b push "$payload"

# Trust is the CA plus the name: both halves must hold.
rc=$(send "$a_port" "$work/stranger/origin" stranger "$payload")
[ "$rc" -eq 5 ] || fail "a certificate from another CA gave exit $rc, expected 5 (refused handshake)"
rc=$(send "$a_port" "$certs/relay-b" wrongname "$payload")
[ "$rc" -eq 5 ] || fail "relay-b's certificate as origin gave exit $rc, expected 5 (refused handshake)"
for repo in stranger wrongname; do
  [ ! -e "$work/relay-a-root/saves/$repo" ] || fail "a refused sender still created saves/$repo at relay-a"
done

stop_relay relay-a
stop_relay relay-b

# ---- (b) relay-b dials relay-a --------------------------------------------------------

read -r a_port a_closure a_fwd < <(free_ports 3 | xargs)
relay_from_node relay-a "$(relay_a_inbound)
[Forward]
Host=
Port=$a_fwd
PeerCN=relay-b"
relay_from_node relay-b "[Connection]
Host=127.0.0.1
Port=$a_fwd
ClosurePort=$a_closure
PeerCN=relay-a
DelayBeforeRetry=250
ThrottlingEnabled=0"
start_relay relay-a
start_relay relay-b

rc=$(send "$a_port" "$certs/origin" fetch "$payload")
[ "$rc" -eq 0 ] || fail "tarnwick-send to relay-a (forward listen mode) exited $rc"
expect_at_b fetch "$payload"

# relay-b first: its stop dials relay-a's closure listener with its own
# certificate, which relay-a must accept.
stop_relay relay-b
stop_relay relay-a
if grep -q 'SSL_accept failed' "$work/relay-a.log"; then
  fail "relay-a refused a handshake in the dial-in setup"
fi

echo "certs_tool_test OK"
