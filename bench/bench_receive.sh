#!/usr/bin/env bash
# Reception throughput: how long the relay takes to receive one large
# one-field stream from tarnwick-send with the throttle off, against a plain
# TLS pipe (socat -> socat, 64 KiB buffers) on the same machine in the same
# run. Also the relay's peak memory at two sizes, which should not grow with
# the size of the stream.
#
# Environment:
#   SIZE_MIB=1024   size of the main transfer
#   RUNS=3          transfers per tool, alternated tarnwick/socat
#   SMALL_MIB=64    size of the transfer used as the memory baseline
#   FLAT_MIB=8      allowed peak-memory growth between the two sizes
#   BENCH_DIR=      work directory (default bench-run/ in the repo; wiped)
#   BUILD_DIR=      build directory (default build/ in the repo)
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-3}
small_mib=${SMALL_MIB:-64}
flat_mib=${FLAT_MIB:-8}
work=${BENCH_DIR:-$root/bench-run}

need_positive size_mib runs small_mib flat_mib

relay_pid=""
relay_dir=""
bg_pids=()
ok=0
fail_who=bench

show_logs() {
  if [ -n "$relay_dir" ]; then show_log "relay log" "$relay_dir/relay.log" 40; fi
}

cleanup() {
  stop_pids "${bg_pids[@]}" "$relay_pid"
  # The data files are large; logs are kept only when something went wrong.
  if [ -d "$work" ]; then
    rm -f "$work"/input-*.bin "$work"/socat-out.bin
    rm -rf "$work"/relay-*/root/saves
    [ "$ok" -eq 1 ] && rm -rf "$work"
  fi
}
install_traps
need_build
bench_tools

# ---- relay lifecycle --------------------------------------------------------

start_relay() {
  local name=$1
  relay_dir="$work/relay-$name"
  relay_port=$(free_ports 1) || fail "no free loopback port"
  make_relay "$relay_dir" "$relay_dir/root" "[Connection]
Host=
Port=$relay_port
PeerCN=sender
ThrottlingEnabled=0" \
    cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem clientcert.pem=sender.cert.pem
  "$relay_dir/tarnwick" 2>"$relay_dir/relay.log" &
  relay_pid=$!
  wait_running "$relay_dir/relay.log" "$relay_pid" relay
}

# Sets relay_hwm_kib / relay_threads, then stops the relay and checks its exit.
stop_relay() {
  kill -0 "$relay_pid" 2>/dev/null || fail "relay died during the benchmark"
  relay_hwm_kib=$(status_kib "$relay_pid" VmHWM)
  relay_threads=$(status_kib "$relay_pid" Threads)
  stop_relay_pid relay_pid relay
}

# ---- one transfer each -------------------------------------------------------

# Sets last_secs / last_info. Wall clock from the sender's start to its exit 0,
# which it only reaches once the relay confirmed the stored stream.
run_tarnwick() {
  local input=$1 bytes=$2 cpu0 cpu1 t0 t1 rc=0
  cpu0=$(proc_cpu "$relay_pid") || fail "relay died"
  t0=$EPOCHREALTIME
  "${timer[@]}" ${timer:+-o "$work/send.time"} "$build/tarnwick-send" --quiet \
    --host 127.0.0.1 --port "$relay_port" --repo bench --wait 300 \
    --ca "$certs/relay-a.cert.pem" --peer-name relay-a \
    --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" \
    "$input" 2>"$work/send.err" || rc=$?
  t1=$EPOCHREALTIME
  [ "$rc" -eq 0 ] || fail "tarnwick-send exited with $rc: $(cat "$work/send.err")"
  cpu1=$(proc_cpu "$relay_pid") || fail "relay died after the transfer"

  local saves
  mapfile -t saves < <(find "$relay_dir/root/saves/bench" -type f 2>/dev/null)
  [ "${#saves[@]}" -eq 1 ] || fail "expected exactly one file under saves/bench, found: ${saves[*]:-none}"
  [[ "${saves[0]}" != *_pending ]] || fail "relay left a _pending marker: ${saves[0]}"
  [ "$(stat -c %s "${saves[0]}")" -eq "$bytes" ] || fail "stored size $(stat -c %s "${saves[0]}") != $bytes"
  cmp -s "$input" "${saves[0]}" || fail "stored bytes differ from the input"
  rm -f "${saves[0]}"

  last_secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  local s_cpu
  read -r s_cpu _ < <(timer_cpu_rss "$work/send.time")
  last_info="relay cpu $(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.2f", b - a }') s, sender cpu $s_cpu s"
}

# Sets last_secs / last_info. Wall clock from the sending socat's start to the
# listening socat's exit, i.e. the file fully written on the receiving side.
run_socat() {
  local input=$1 bytes=$2 port t0 t1 lrc=0 crc=0 lpid cpid
  local out="$work/socat-out.bin"
  rm -f "$out"
  port=$(free_ports 1) || fail "no free loopback port"
  "${timer[@]}" ${timer:+-o "$work/listen.time"} socat -d -d -u -b 65536 \
    "OPENSSL-LISTEN:$port,bind=127.0.0.1,reuseaddr,cert=$certs/relay-a.cert.pem,key=$certs/relay-a.key.pem,cafile=$certs/sender.cert.pem,verify=1" \
    "CREATE:$out" 2>"$work/listen.err" &
  lpid=$!
  bg_pids=("$lpid")
  wait_listening "$port" "$lpid" || fail "socat listener did not come up: $(tail -n 5 "$work/listen.err")"

  t0=$EPOCHREALTIME
  "${timer[@]}" ${timer:+-o "$work/connect.time"} socat -u -b 65536 \
    "FILE:$input" \
    "OPENSSL:127.0.0.1:$port,cert=$certs/sender.cert.pem,key=$certs/sender.key.pem,cafile=$certs/relay-a.cert.pem,verify=1,commonname=relay-a" \
    2>"$work/connect.err" &
  cpid=$!
  bg_pids=("$lpid" "$cpid")
  wait "$lpid" || lrc=$?
  t1=$EPOCHREALTIME
  wait "$cpid" || crc=$?
  bg_pids=()
  [ "$lrc" -eq 0 ] || fail "socat listener exited with $lrc: $(tail -n 5 "$work/listen.err")"
  [ "$crc" -eq 0 ] || fail "socat sender exited with $crc: $(tail -n 5 "$work/connect.err")"
  [ "$(stat -c %s "$out")" -eq "$bytes" ] || fail "socat output size $(stat -c %s "$out") != $bytes"
  cmp -s "$input" "$out" || fail "socat output differs from the input"
  rm -f "$out"

  socat_cipher=$(grep -o 'SSL connection using .*' "$work/listen.err" | head -n 1 || true)
  last_secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  local l_cpu l_rss c_cpu
  read -r l_cpu l_rss < <(timer_cpu_rss "$work/listen.time")
  read -r c_cpu _ < <(timer_cpu_rss "$work/connect.time")
  socat_listen_rss_kib=$l_rss
  last_info="listener cpu $l_cpu s, sender cpu $c_cpu s"
}

# ---- main ---------------------------------------------------------------------

fresh_work $((size_mib * 2 + small_mib * 2 + 256))

certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" relay-a sender || fail "make-certs.sh failed"

step "bench: ${size_mib} MiB one-field stream, $runs runs per tool, throttle off, $(nproc) CPUs"
step "making the inputs (${size_mib} MiB and ${small_mib} MiB of random bytes)"
big="$work/input-big.bin"
small="$work/input-small.bin"
bytes=$((size_mib * 1024 * 1024))
small_bytes=$((small_mib * 1024 * 1024))
head -c "$bytes" /dev/urandom >"$big"
head -c "$small_bytes" "$big" >"$small"

step "memory baseline: relay receiving ${small_mib} MiB x $runs"
start_relay small
for ((i = 1; i <= runs; i++)); do
  run_tarnwick "$small" "$small_bytes"
  printf '    small %d/%d  tarnwick %6s s  %s\n' "$i" "$runs" "$last_secs" "$last_info"
done
stop_relay
small_hwm_kib=$relay_hwm_kib

step "throughput: ${size_mib} MiB, tarnwick and socat alternated"
start_relay big
t_rates=()
s_rates=()
ratios=()
for ((i = 1; i <= runs; i++)); do
  run_tarnwick "$big" "$bytes"
  tr=$(rate "$size_mib" "$last_secs")
  printf '    run %d/%d  tarnwick %8s s  %8s MiB/s  (%s)\n' "$i" "$runs" "$last_secs" "$tr" "$last_info"
  run_socat "$big" "$bytes"
  sr=$(rate "$size_mib" "$last_secs")
  printf '    run %d/%d  socat    %8s s  %8s MiB/s  (%s)\n' "$i" "$runs" "$last_secs" "$sr" "$last_info"
  t_rates+=("$tr")
  s_rates+=("$sr")
  ratios+=("$(awk -v a="$tr" -v b="$sr" 'BEGIN { printf "%.3f", a / b }')")
done
stop_relay
big_hwm_kib=$relay_hwm_kib

ratio=$(median 3 "${ratios[@]}")
ratio_ok=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.9) ? "MET" : "MISSED" }')
growth_kib=$((big_hwm_kib - small_hwm_kib))
flat_ok=$([ "$growth_kib" -lt $((flat_mib * 1024)) ] && echo MET || echo MISSED)

step "results (${size_mib} MiB, $runs runs)"
printf '    tarnwick  median %8s MiB/s   runs: %s\n' "$(median 1 "${t_rates[@]}")" "${t_rates[*]}"
printf '    socat     median %8s MiB/s   runs: %s\n' "$(median 1 "${s_rates[@]}")" "${s_rates[*]}"
printf '    ratio tarnwick/socat (median of per-run ratios %s): %s   target >= 0.9: %s\n' \
  "${ratios[*]}" "$ratio" "$ratio_ok"
printf '    relay peak memory (VmHWM): %s MiB after %s MiB x%d, %s MiB after %s MiB x%d (%d threads)\n' \
  "$(mib "$big_hwm_kib")" "$size_mib" "$runs" "$(mib "$small_hwm_kib")" "$small_mib" "$runs" "$relay_threads"
printf '    memory growth %s MiB   target flat whatever the size (< %d MiB growth): %s\n' \
  "$(mib "$growth_kib")" "$flat_mib" "$flat_ok"
[ "${socat_listen_rss_kib:-n/a}" = "n/a" ] || printf '    socat listener peak RSS: %s MiB\n' "$(mib "$socat_listen_rss_kib")"
[ -z "${socat_cipher:-}" ] || printf '    socat %s\n' "$socat_cipher"

ok=1
