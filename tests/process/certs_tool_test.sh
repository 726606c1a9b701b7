#!/usr/bin/env bash
# tarnwick-certs end to end: the files it writes, used as they are by real
# relays, carry a backup origin -> relay-a -> relay-b with either end of the
# forward hop dialling; a certificate from another CA is refused; a second
# run keeps the CA and the keys; a bad name is refused before anything is
# written. usage: certs_tool_test.sh <tarnwick> <tarnwick-send> <tarnwick-certs>
set -euo pipefail
relay_bin=$1 send_bin=$2 certs_tool=$3
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/certs-tool-test.XXXXXX")
declare -A pid=()
fail_who=certs_tool_test
show_logs() { for r in relay-a relay-b; do show_log "$r log" "$work/$r.log" 30; done; }
cleanup() { stop_pids "${pid[@]}"; rm -rf "$work"; }
install_traps
certs=$work/certs

for bad in 'relay a' 'relay/a' '-relay' 'rélay'; do
  rc=0
  "$certs_tool" --out "$certs" origin "$bad" 2>/dev/null || rc=$?
  [ "$rc" -eq 2 ] || fail "name '$bad' gave exit $rc, expected 2"
done
[ ! -e "$certs" ] || fail "a refused command line still wrote $certs"

"$certs_tool" --out "$certs" origin relay-a relay-b >/dev/null || fail "first run failed"
for f in origin/cert.pem relay-a/clientcert.pem relay-a/forwardcert.pem relay-b/servercert.pem; do
  [ -s "$certs/$f" ] || fail "$f was not written"
done
[ "$(stat -c %a "$certs/relay-a/key.pem")" = 600 ] || fail "relay-a's key is readable by others"
cp "$certs/relay-a/key.pem" "$work/key.before"
"$certs_tool" --out "$certs" origin relay-a relay-b | grep '^CA (kept)' >/dev/null || fail "a second run did not keep the CA"
cmp -s "$certs/relay-a/key.pem" "$work/key.before" || fail "a second run replaced relay-a's key"
"$certs_tool" --out "$work/stranger" origin relay-x >/dev/null || fail "stranger run failed"

# relay <name> <settings>: the node's files in a directory of its own (--dir).
relay() {
  mkdir -p "$work/$1" "$work/$1-root"
  cp "$certs/$1"/*.pem "$work/$1/"
  printf '[Backup]\nDir=%s\n%s\n' "$work/$1-root" "$2" >"$work/$1/settings.ini"
  "$relay_bin" --dir "$work/$1" >"$work/$1.log" 2>&1 &
  pid[$1]=$!
  wait_running "$work/$1.log" "${pid[$1]}" "$1"
}
send() {  # send <cert dir> <repo>: tarnwick-send's exit status
  local rc=0
  "$send_bin" --quiet --host 127.0.0.1 --port "$a_port" --peer-name relay-a --ca "$certs/origin/ca.pem" \
    --cert "$1/cert.pem" --key "$1/key.pem" --repo "$2" --wait 20 "$work/payload" 2>/dev/null || rc=$?
  echo "$rc"
}
at_b() {  # at_b <repo>: relay-b holds one complete copy of the payload
  local save
  save=$(find "$work/relay-b-root/saves/$1" -type f ! -name '*_pending' 2>/dev/null | head -n 1) || true
  [ -n "$save" ] && [ ! -e "${save}_pending" ] && cmp -s "$work/payload" "$save"
}
head -c 300000 /dev/urandom >"$work/payload"
inbound() { printf '[Connection]\nPort=%s\nClosurePort=%s\nPeerCN=origin\nRequireClientCert=1\nThrottlingEnabled=0' "$a_port" "$a_closure"; }

for direction in push fetch; do
  read -r a_port a_closure b_port a_fwd < <(free_ports 4 | xargs)
  if [ "$direction" = push ]; then
    relay relay-b "$(printf '[Connection]\nPort=%s\nPeerCN=relay-a\nRequireClientCert=1\nUpstream=1' "$b_port")"
    relay relay-a "$(inbound)
[Forward]
Host=127.0.0.1
Port=$b_port
PeerCN=relay-b"
  else
    relay relay-a "$(inbound)
[Forward]
Port=$a_fwd
PeerCN=relay-b"
    relay relay-b "$(printf '[Connection]\nHost=127.0.0.1\nPort=%s\nClosurePort=%s\nPeerCN=relay-a\nDelayBeforeRetry=250' "$a_fwd" "$a_closure")"
  fi
  [ "$(send "$certs/origin" "$direction")" -eq 0 ] || fail "tarnwick-send to relay-a ($direction) failed"
  for _ in $(seq 150); do at_b "$direction" && break; sleep 0.2; done
  at_b "$direction" || fail "relay-b holds no copy of $direction after 30 s"
  [ "$(send "$work/stranger/origin" stranger)" -eq 5 ] || fail "a certificate from another CA was not refused"
  [ ! -e "$work/relay-a-root/saves/stranger" ] || fail "a refused sender created saves/stranger"
  # relay-b first: in the fetch direction its stop dials relay-a's closure port.
  stop_relay_pid "pid[relay-b]" relay-b
  stop_relay_pid "pid[relay-a]" relay-a
done
echo "certs_tool_test OK"
