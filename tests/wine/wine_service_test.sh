#!/usr/bin/env bash
# The Windows build as a real service under Wine's service manager, relaying
# to and from Linux relays on loopback.
#
#   tests/wine/wine_service_test.sh [<windows build dir>] [<linux build dir>]
#
# Runs in a throwaway WINEPREFIX; kills only its own relays and the
# wineserver of that prefix. Every wait is bounded.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
win_build=$(cd "${1:-$root/build-win}" && pwd)
build=$(cd "${2:-$build}" && pwd)
fail_who="wine service test"

for bin in "$win_build/tarnwick.exe" "$win_build/tarnwick-send.exe" "$build/tarnwick" "$build/tarnwick-send"; do
  [ -f "$bin" ] || { echo "$fail_who: $bin is missing" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "$fail_who: wine not found" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
# Wine prints every ReportEvent string on its eventlog channel.
export WINEDEBUG=-all,+eventlog
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts
wlog="$work/wine.log"
declare -A pid=()

show_logs() {
  show_log "wine (event log and service output)" "$wlog" 80
  show_log "net start / net stop" "$work/net.log" 20
  local f
  for f in "$work"/linux-*.log; do show_log "$(basename "$f")" "$f" 40; done
}
cleanup() {
  exec 9>&- 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  stop_pids "${pid[@]}"
  if [ "${KEEP_WORK:-0}" = 1 ]; then echo "work left in $work" >&2; else rm -rf "$work"; fi
}
install_traps

# wine_run <seconds> <args>: one wine command, its stdout on ours, its
# stderr (and that of the service processes it starts) into the wine log.
wine_run() {
  local t=$1
  shift
  timeout "$t" wine "$@" 2>>"$wlog"
}

# until_true <seconds> <what> <command...>: polls every 0.2 s until the
# command succeeds or the seconds have passed, however long each poll takes.
until_true() {
  local limit=$1 what=$2
  local deadline=$((SECONDS + limit))
  shift 2
  until "$@"; do
    ((SECONDS < deadline)) || fail "$what (after $limit s)"
    sleep 0.2
  done
}
listening() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }
not_listening() { ! listening "$1"; }
event_seen() { grep -q "eventlog.*L\"$1\"" "$wlog"; }
same_file() { [ -f "$2" ] && [ ! -e "${2}_pending" ] && cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }
# metric_is <name> <value>: the first sample of that name the Windows
# relay's endpoint serves has that value.
metric_is() {
  curl -sS --max-time 10 "http://127.0.0.1:$w_metrics/metrics" |
    awk -v m="$1" -v want="$2" '!seen && ($1 == m || index($1, m "{") == 1) { seen = 1; ok = ($2 == want) } END { exit !ok }'
}
# The one save of a repository in a backup root.
save_of() { find "$1/saves/$2" -type f ! -name '*_pending' 2>/dev/null | head -n 1; }

step "Wine prefix $WINEPREFIX"
wine_run 300 wineboot -i >/dev/null || fail "wineboot failed"
timeout 60 wineserver -w || fail "wineserver of the new prefix did not exit"
# Wine shuts its services down once no ordinary Windows process is left, and
# starts the automatic ones again with the next: one idle cmd.exe, reading a
# pipe this script holds open, keeps the service manager up throughout.
mkfifo "$work/keeper"
wine cmd.exe <"$work/keeper" >/dev/null 2>>"$wlog" &
pid[keeper]=$!
exec 9>"$work/keeper"

certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" win l1 l2 l4 sender rogue >/dev/null

mapfile -t ports < <(free_ports 9)
[ "${#ports[@]}" -eq 9 ] || fail "no free loopback ports"
w_port=${ports[0]} w_closure=${ports[1]} w_fwd=${ports[2]}
l1_port=${ports[3]} l2_port=${ports[4]} l2_fwd=${ports[5]} l2_closure=${ports[6]}
l4_closure=${ports[7]} w_metrics=${ports[8]}

# The Windows relay lives in C:\tarnwick, its backup root in C:\tarnwick\root.
wdir="$WINEPREFIX/drive_c/tarnwick"
wroot="$wdir/root"
mkdir -p "$wroot"
cp "$win_build/tarnwick.exe" "$wdir/"

# win_settings <settings text> <pem>=<source>...: settings.ini (CRLF, as an
# operator's editor on Windows writes it) and the PEM files.
win_settings() {
  local text=$1 pair
  shift
  rm -f "$wdir"/*.pem "$wroot"/*.pem
  for pair in "$@"; do
    cp "$certs/${pair#*=}" "$wdir/${pair%%=*}"
    cp "$certs/${pair#*=}" "$wroot/${pair%%=*}"
  done
  printf '[Backup]\nDir=C:\\tarnwick\\root\n%s\n' "$text" | sed 's/$/\r/' >"$wdir/settings.ini"
}

# listen_role_settings <client name>: the Windows relay listens for that
# client and offers its saves to L4, which dials in.
listen_role_settings() {
  win_settings "[Connection]
Port=$w_port
ClosurePort=$w_closure
PeerCN=$1
ThrottlingEnabled=0
[Forward]
Host=
Port=$w_fwd
PeerCN=l4
[Metrics]
Listen=127.0.0.1:$w_metrics" cert.pem=win.cert.pem key.pem=win.key.pem "clientcert.pem=$1.cert.pem" \
    forwardcert.pem=l4.cert.pem
}

start_linux() {
  "$work/linux-$1/tarnwick" 2>"$work/linux-$1.log" &
  pid[$1]=$!
  wait_running "$work/linux-$1.log" "${pid[$1]}" "linux relay $1"
}
stop_linux() { stop_relay_pid "pid[$1]" "linux relay $1"; }

# The service's state as the manager reports it.
service_state() { wine_run 10 sc query Tarnwick | tr -d '\r' | awk '/STATE/ {print $4}'; }
state_is() { [ "$(service_state)" = "$1" ]; }

start_service() {
  # net's own status is not enough: it gives up on a slow first start.
  wine_run 60 net start Tarnwick >>"$work/net.log" || true
  until_true 30 "service not RUNNING" state_is RUNNING
}
stop_service() {
  wine_run 120 net stop Tarnwick >>"$work/net.log" || fail "net stop Tarnwick failed"
  until_true 60 "service not STOPPED" state_is STOPPED
}

send_to() {  # send_to <port> <peer name> <repo> <file> [<id>]
  local id=${5:-sender}
  "$build/tarnwick-send" --host 127.0.0.1 --port "$1" --peer-name "$2" --repo "$3" \
    --ca "$certs/$2.cert.pem" --cert "$certs/$id.cert.pem" --key "$certs/$id.key.pem" "$4"
}

head -c $((1024 * 1024 + 17)) /dev/urandom >"$work/one.bin"
head -c $((300 * 1024)) /dev/urandom >"$work/two.bin"
head -c $((3 * 1024 * 1024)) /dev/urandom >"$work/three.bin"
head -c $((1024 * 1024 + 5)) /dev/urandom >"$work/five.bin"

# ---------------------------------------------------------------------------
step "install: service entry in the registry"
out=$(cd "$wdir" && wine_run 60 "$wdir/tarnwick.exe" install | tr -d '\r')
[ "$out" = "Service installed successfully" ] || fail "install printed '$out'"
reg=$(wine_run 60 reg query 'HKLM\System\CurrentControlSet\Services\Tarnwick' | tr -d '\r')
# Automatic start, own process, normal error control, the image, Eventlog + LanmanServer first.
for want in 'Start[[:space:]]+REG_DWORD[[:space:]]+0x2$' 'Type[[:space:]]+REG_DWORD[[:space:]]+0x10$' 'ErrorControl[[:space:]]+REG_DWORD[[:space:]]+0x1$' \
  'C:\\tarnwick\\tarnwick\.exe' 'DependOnService[[:space:]]+REG_MULTI_SZ[[:space:]]+Eventlog\\0LanmanServer'; do
  echo "$reg" | grep -Eq "$want" || fail "no '$want' in the service entry: $reg"
done

# ---------------------------------------------------------------------------
step "listen role, forward side listening: sender -> Windows, waiting for L4"
listen_role_settings sender
start_service
until_true 30 "Windows relay not listening on $w_port" listening "$w_port"
metric_is tarnwick_saves_stored_total 0 || fail "no tarnwick_saves_stored_total 0 from the metrics endpoint"

rc=0
send_to "$w_port" win one "$work/one.bin" || rc=$?
[ "$rc" -eq 0 ] || fail "tarnwick-send to the Windows relay exited $rc"
w_one=$(save_of "$wroot" one)
same_file "$work/one.bin" "$w_one" || fail "Windows relay does not hold one.bin whole"
until_true 10 "tarnwick_saves_stored_total not 1 after the save" metric_is tarnwick_saves_stored_total 1
metric_is tarnwick_build_info 1 || fail "no tarnwick_build_info from the metrics endpoint"

rc=0
send_to "$w_port" win one "$work/two.bin" rogue 2>/dev/null || rc=$?
[ "$rc" -eq 5 ] || fail "a sender with an unknown certificate got $rc, not 5"
until_true 30 "no 'Bogus connection' event" event_seen "Bogus connection"
echo "    stored byte for byte and counted at /metrics; a rogue sender refused with a 'Bogus connection' entry"

step "stop with the transmission waiting for L4 and a silent client connected"
# A client that connects and never speaks must not hold up the stop.
exec 8<>"/dev/tcp/127.0.0.1/$w_port"
t0=$SECONDS
stop_service
stopped_after=$((SECONDS - t0))
exec 8>&-
# Far below the 30 s a silent handshake may last: the stop cut it short.
[ "$stopped_after" -lt 15 ] || fail "the stop waited ${stopped_after} s for the silent client"
until_true 30 "port $w_port still open after STOPPED" not_listening "$w_port"
grep -Eq "^one[[:space:]]+$(basename "$w_one")" "$wroot/toforward" 2>/dev/null ||
  fail "no queue line for one/$(basename "$w_one") in toforward"
same_file "$work/one.bin" "$w_one" || fail "save changed by the stop"
echo "    STOPPED in ${stopped_after} s; queue line written, save intact"

step "L4 dials the Windows relay; after a restart the queued save reaches it"
make_relay "$work/linux-l4" "$work/root-l4" "[Connection]
Host=127.0.0.1
Port=$w_fwd
ClosurePort=$w_closure
PeerCN=win
DelayBeforeRetry=200
ThrottlingEnabled=0" cert.pem=l4.cert.pem key.pem=l4.key.pem servercert.pem=win.cert.pem
start_linux l4
start_service
until_true 60 "L4 did not get one.bin from the Windows relay" same_file "$work/one.bin" "$work/root-l4/saves/one/$(basename "$w_one")"
echo "    delivered after restart"

stop_linux l4
stop_service

# ---------------------------------------------------------------------------
step "dial role: the Windows relay fetches from L2 and pushes to L1"
make_relay "$work/linux-l1" "$work/root-l1" "[Connection]
Port=$l1_port
ClosurePort=$l4_closure
PeerCN=win
ThrottlingEnabled=0" cert.pem=l1.cert.pem key.pem=l1.key.pem clientcert.pem=win.cert.pem
# L2 sends slowly so that a stop lands mid-transmission.
make_relay "$work/linux-l2" "$work/root-l2" "[Connection]
Port=$l2_port
ClosurePort=$l2_closure
PeerCN=sender
Bandwith=512KB
ThrottlingEnabled=1
[Forward]
Host=
Port=$l2_fwd
PeerCN=win" cert.pem=l2.cert.pem key.pem=l2.key.pem clientcert.pem=sender.cert.pem \
  forwardcert.pem=win.cert.pem
win_settings "[Connection]
Host=127.0.0.1
Port=$l2_fwd
ClosurePort=$l2_closure
PeerCN=l2
DelayBeforeRetry=200
ThrottlingEnabled=0
[Forward]
Host=127.0.0.1
Port=$l1_port
PeerCN=l1" cert.pem=win.cert.pem key.pem=win.key.pem servercert.pem=l2.cert.pem \
  forwardcert.pem=l1.cert.pem
start_linux l1
start_linux l2
start_service

rc=0
send_to "$l2_port" l2 three "$work/three.bin" || rc=$?
[ "$rc" -eq 0 ] || fail "tarnwick-send to L2 exited $rc"
three=$(basename "$(save_of "$work/root-l2" three)")
w_three="$wroot/saves/three/$three"
partial() { [ -f "$w_three" ] && [ "$(stat -c %s "$w_three")" -gt $((256 * 1024)) ]; }
until_true 30 "the Windows relay is not receiving three.bin" partial

step "stop mid-transmission: closure to L2, partial save marked, resumed after restart"
stop_service
size=$(stat -c %s "$w_three")
[ "$size" -lt "$(stat -c %s "$work/three.bin")" ] || fail "transmission ended before the stop"
[ -f "${w_three}_pending" ] || fail "no pending marker for the partial save"
cmp -s -n "$size" "$work/three.bin" "$w_three" || fail "partial save differs from the source"
# Only the closure ends the worker's read this early: without it the stop
# would wait for the whole stream.
echo "    stopped with $size of $(stat -c %s "$work/three.bin") bytes stored, marker $(cat "${w_three}_pending")"
start_service
until_true 60 "three.bin not complete at the Windows relay" same_file "$work/three.bin" "$w_three"
until_true 60 "three.bin did not reach L1" same_file "$work/three.bin" "$work/root-l1/saves/three/$three"
echo "    L2 -> Windows (resumed) -> L1 byte for byte"
stop_service

step "tarnwick-send.exe sends to a Linux relay"
zpath() { echo "Z:${1//\//\\}"; }
rc=0
wine_run 120 "$win_build/tarnwick-send.exe" --host 127.0.0.1 --port "$l1_port" --peer-name l1 \
  --repo four --ca "$(zpath "$certs/l1.cert.pem")" --cert "$(zpath "$certs/win.cert.pem")" \
  --key "$(zpath "$certs/win.key.pem")" "$(zpath "$work/two.bin")" || rc=$?
[ "$rc" -eq 0 ] || fail "tarnwick-send.exe exited $rc"
f=$(save_of "$work/root-l1" four)
[ -n "$f" ] && same_file "$work/two.bin" "$f" || fail "L1 does not hold what tarnwick-send.exe sent"
echo "    stored byte for byte"
stop_linux l2

# ---------------------------------------------------------------------------
step "killed hard mid-transmission: the forwarding record alone resumes it"
# The sender gives the Windows relay a save, which it pushes to L1 at
# 256 KB/s: four seconds in which to kill it with no stop at all. (The
# sender's stream is slowed the same way.)
win_settings "[Connection]
Port=$w_port
ClosurePort=$w_closure
PeerCN=sender
Bandwith=256KB
ThrottlingEnabled=1
[Forward]
Host=127.0.0.1
Port=$l1_port
PeerCN=l1" cert.pem=win.cert.pem key.pem=win.key.pem clientcert.pem=sender.cert.pem \
  forwardcert.pem=l1.cert.pem
start_service
until_true 30 "Windows relay not listening on $w_port" listening "$w_port"
rc=0
send_to "$w_port" win five "$work/five.bin" || rc=$?
[ "$rc" -eq 0 ] || fail "tarnwick-send to the Windows relay exited $rc"
five=$(basename "$(save_of "$wroot" five)")
five_size=$(stat -c %s "$work/five.bin")
w_rec="$wroot/forwards/five/$five"
l1_five="$work/root-l1/saves/five/$five"
# Confirmed to the sender, so the record must be on disk already.
[ -f "$w_rec" ] || fail "the sender got its confirmation before forwards/five/$five existed"
l1_partial() {
  [ -e "${l1_five}_pending" ] && [ "$(stat -c %s "$l1_five" 2>/dev/null || echo 0)" -gt $((256 * 1024)) ]
}
until_true 30 "L1 is not receiving five.bin" l1_partial
# taskkill sees only the processes of this prefix.
wine_run 30 taskkill /F /IM tarnwick.exe >>"$work/net.log" || fail "taskkill /F failed"
# The listening socket goes with the process. Wine's service manager goes
# on reporting RUNNING for the dead process, so its state proves nothing.
until_true 15 "the Windows relay still listens on $w_port after taskkill /F" not_listening "$w_port"
# L1 may still be reading what was in flight; once its stream is cut its
# bytes stop changing.
until_true 15 "L1 still receiving after the kill" \
  eval 'a=$(stat -c %s "$l1_five"); sleep 0.5; [ "$a" -eq "$(stat -c %s "$l1_five")" ]'
got=$(stat -c %s "$l1_five")
[ "$got" -lt "$five_size" ] && [ -e "${l1_five}_pending" ] || fail "the transmission ended before the kill"
cmp -s -n "$got" "$work/five.bin" "$l1_five" || fail "L1's partial save differs from the source"
same_file "$work/five.bin" "$wroot/saves/five/$five" || fail "the kill damaged the Windows relay's save"
[ -f "$w_rec" ] || fail "forwards/five/$five is gone after the kill"
offset=$(cat "$w_rec")
[[ "$offset" =~ ^[0-9]+$ ]] && [ "$offset" -lt "$five_size" ] ||
  fail "forwards/five/$five holds '$offset', not an offset below $five_size"
# No clean stop ran: toforward is as the start left it, without the save.
if grep -Eq "^five[[:space:]]" "$wroot/toforward" 2>/dev/null; then
  fail "toforward names five/$five although the relay never stopped cleanly"
fi
echo "    killed with $got of $five_size bytes at L1, record at $offset, toforward without it"
start_service
# Only the port shows that a new process runs (the state was RUNNING all along).
until_true 30 "Windows relay not listening on $w_port after the restart" listening "$w_port"
until_true 60 "five.bin did not reach L1 after the restart" same_file "$work/five.bin" "$l1_five"
until_true 30 "forwards/five/$five still there after L1 confirmed" absent "$w_rec"
echo "    L1 holds five.bin byte for byte; the record is gone"
stop_service
stop_linux l1

# ---------------------------------------------------------------------------
step "verify on the Windows root: good, then one flipped byte found"
rc=0
out=$(cd "$wdir" && wine_run 120 "$wdir/tarnwick.exe" verify | tr -d '\r') || rc=$?
[ "$rc" -eq 0 ] && [[ "$out" == OK:\ checked* ]] || fail "verify exited $rc: $out"
victim=$(find "$wroot/saves" -type f ! -name '*_pending' -size +1k | head -n 1)
[ -n "$victim" ] || fail "no save to flip a byte in"
printf '\xff' | dd of="$victim" bs=1 seek=1000 conv=notrunc 2>/dev/null
rc=0
out=$(cd "$wdir" && wine_run 120 "$wdir/tarnwick.exe" verify | tr -d '\r') || rc=$?
[ "$rc" -eq 1 ] && [[ "$out" == *MISMATCH* ]] || fail "verify after a flipped byte exited $rc: $out"
echo "    $(echo "$out" | tail -n 1)"

# ---------------------------------------------------------------------------
step "console run, delete, delete again"
rc=0
(cd "$wdir" && wine_run 60 "$wdir/tarnwick.exe" >/dev/null) || rc=$?
[ "$rc" -eq 0 ] || fail "console run exited $rc"
until_true 10 "no 'StartServiceCtrlDispatcher' event" event_seen "StartServiceCtrlDispatcher"
out=$(wine_run 60 "$wdir/tarnwick.exe" DELETE | tr -d '\r')
[ "$out" = "Service deleted successfully" ] || fail "delete printed '$out'"
out=$(wine_run 60 "$wdir/tarnwick.exe" delete | tr -d '\r')
[ "$out" = "OpenService failed (1060)" ] || fail "second delete printed '$out'"

step "wine service test passed"
