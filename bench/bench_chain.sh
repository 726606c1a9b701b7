#!/usr/bin/env bash
# Chain throughput: how long one large save takes to travel from
# tarnwick-send through two relays (sender -> A -> B; A forwards to B in dial
# mode, B stores), throttle off, against plain TLS pipes on the same machine
# in the same run:
#
#   socat 1 hop   sender socat -> listening socat (as in bench_receive.sh)
#   socat 2 hops  sender socat -> middle socat (OPENSSL-LISTEN -> OPENSSL)
#                 -> listening socat
#
# The ratio is taken against the two-hop pipe: it carries the bytes through a
# middle machine as the chain does, but streams them, while a relay stores a
# save whole before it forwards it. The tarnwick time runs from the sender's
# start until B holds the whole save with no _pending marker (polled every
# 50 ms). Also each relay's peak memory (VmHWM).
#
# Environment:
#   SIZE_MIB=1024   size of the save
#   RUNS=3          transfers per tool, alternated tarnwick/socat/socat 2 hops
#   BENCH_DIR=      work directory (default bench-run/chain/ in the repo; wiped)
#   BUILD_DIR=      build directory (default build/ in the repo)
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-3}
work=${BENCH_DIR:-$root/bench-run/chain}

need_positive size_mib runs

declare -A relay_pid=()
bg_pids=()
ok=0
fail_who=bench

show_logs() {
  local r
  for r in a b; do show_log "relay $r log" "$work/relay-$r/relay.log" 40; done
}

cleanup() {
  stop_pids "${bg_pids[@]}" "${relay_pid[@]}"
  # The data files are large; logs are kept only when something went wrong.
  if [ -d "$work" ]; then
    rm -f "$work"/input.bin "$work"/socat-out.bin
    rm -rf "$work"/relay-*/root/saves
    if [ "$ok" -eq 1 ]; then
      rm -rf "$work"
      [ -n "${BENCH_DIR:-}" ] || rmdir "$root/bench-run" 2>/dev/null || true
    fi
  fi
}
install_traps
need_build
bench_tools

secs_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }

# ---- relays ---------------------------------------------------------------------

# start_relay <name> <settings text> <pem>=<source>...
start_relay() {
  local r=$1 dir="$work/relay-$1"
  make_relay "$dir" "$dir/root" "${@:2}"
  "$dir/tarnwick" 2>"$dir/relay.log" &
  relay_pid[$r]=$!
  wait_running "$dir/relay.log" "${relay_pid[$r]}" "relay $r"
}

# Sets hwm_kib[r] / threads[r], then stops the relay and checks its exit.
declare -A hwm_kib=() threads=()
stop_relay() {
  local r=$1 p=${relay_pid[$1]}
  kill -0 "$p" 2>/dev/null || fail "relay $r died during the benchmark"
  hwm_kib[$r]=$(status_kib "$p" VmHWM)
  threads[$r]=$(status_kib "$p" Threads)
  stop_relay_pid "relay_pid[$r]" "relay $r"
}

# ---- one transfer each -----------------------------------------------------------

# Sets last_secs / last_info. Each run uses its own repository, so a save
# still registered at A from the run before can never share a name with it.
run_tarnwick() {
  local input=$1 bytes=$2 i=$3 repo="bench$3" t0 rc=0 a0 b0 a1 b1 confirmed
  local deadline=$((SECONDS + 60 + size_mib))
  a0=$(proc_cpu "${relay_pid[a]}") || fail "relay a died"
  b0=$(proc_cpu "${relay_pid[b]}") || fail "relay b died"
  t0=$EPOCHREALTIME
  "$build/tarnwick-send" --quiet \
    --host 127.0.0.1 --port "$a_port" --repo "$repo" --wait 300 \
    --ca "$certs/relay-a.cert.pem" --peer-name relay-a \
    --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" \
    "$input" 2>"$work/send.err" || rc=$?
  confirmed=$(secs_since "$t0")
  [ "$rc" -eq 0 ] || fail "tarnwick-send exited with $rc: $(cat "$work/send.err")"

  # A names the save by its local date; the name travels to B.
  local a_saves save b_file
  mapfile -t a_saves < <(find "$work/relay-a/root/saves/$repo" -type f 2>/dev/null)
  [ "${#a_saves[@]}" -eq 1 ] || fail "expected one file under A's saves/$repo, found: ${a_saves[*]:-none}"
  save=$(basename "${a_saves[0]}")
  b_file="$work/relay-b/root/saves/$repo/$save"
  while :; do
    if [ -f "$b_file" ] && [ ! -e "${b_file}_pending" ] && [ "$(stat -c %s "$b_file")" -eq "$bytes" ]; then
      break
    fi
    ((SECONDS < deadline)) || fail "B does not hold $repo/$save complete after $((60 + size_mib)) s"
    kill -0 "${relay_pid[a]}" 2>/dev/null || fail "relay a died"
    kill -0 "${relay_pid[b]}" 2>/dev/null || fail "relay b died"
    sleep 0.05
  done
  last_secs=$(secs_since "$t0")
  a1=$(proc_cpu "${relay_pid[a]}") || fail "relay a died"
  b1=$(proc_cpu "${relay_pid[b]}") || fail "relay b died"

  [ "$(stat -c %s "${a_saves[0]}")" -eq "$bytes" ] || fail "A's size $(stat -c %s "${a_saves[0]}") != $bytes"
  cmp -s "$input" "$b_file" || fail "B's bytes differ from the input"
  if find "$work/relay-b/root/saves" -type f | grep -v -x -F "$b_file" | grep -q .; then
    fail "B holds other files: $(find "$work/relay-b/root/saves" -type f)"
  fi
  rm -f "${a_saves[0]}" "$b_file"

  last_hop1=$confirmed
  last_info="A confirmed at $confirmed s; cpu A $(awk -v a="$a0" -v b="$a1" 'BEGIN { printf "%.2f", b - a }') s, B $(awk -v a="$b0" -v b="$b1" 'BEGIN { printf "%.2f", b - a }') s"
}

# socat_listen <port> <cert name> <trusted cert name>: the receiving end,
# writing socat-out.bin; sets lpid.
socat_listen() {
  "${timer[@]}" ${timer:+-o "$work/listen.time"} socat -d -d -u -b 65536 \
    "OPENSSL-LISTEN:$1,bind=127.0.0.1,reuseaddr,cert=$certs/$2.cert.pem,key=$certs/$2.key.pem,cafile=$certs/$3.cert.pem,verify=1" \
    "CREATE:$work/socat-out.bin" 2>"$work/listen.err" &
  lpid=$!
  bg_pids+=("$lpid")
  wait_listening "$1" "$lpid" || fail "socat listener did not come up: $(tail -n 5 "$work/listen.err")"
}

# Sets last_secs / last_info. hops=1: sender -> listener (relay-a's cert);
# hops=2: sender -> middle (relay-a) -> listener (relay-b). Wall clock from
# the sending socat's start to the listening socat's exit, i.e. the file
# fully written on the last machine.
run_socat() {
  local input=$1 bytes=$2 hops=$3 t0 lrc=0 mrc=0 crc=0 lpid mpid="" cpid port
  local out="$work/socat-out.bin" ports
  rm -f "$out"
  mapfile -t ports < <(free_ports 2)
  [ "${#ports[@]}" -eq 2 ] || fail "no free loopback ports"
  port=${ports[0]}
  if [ "$hops" -eq 1 ]; then
    socat_listen "$port" relay-a sender
  else
    socat_listen "${ports[1]}" relay-b relay-a
    "${timer[@]}" ${timer:+-o "$work/middle.time"} socat -u -b 65536 \
      "OPENSSL-LISTEN:$port,bind=127.0.0.1,reuseaddr,cert=$certs/relay-a.cert.pem,key=$certs/relay-a.key.pem,cafile=$certs/sender.cert.pem,verify=1" \
      "OPENSSL:127.0.0.1:${ports[1]},cert=$certs/relay-a.cert.pem,key=$certs/relay-a.key.pem,cafile=$certs/relay-b.cert.pem,verify=1,commonname=relay-b" \
      2>"$work/middle.err" &
    mpid=$!
    bg_pids+=("$mpid")
    wait_listening "$port" "$mpid" || fail "middle socat did not come up: $(tail -n 5 "$work/middle.err")"
  fi

  t0=$EPOCHREALTIME
  "${timer[@]}" ${timer:+-o "$work/connect.time"} socat -u -b 65536 \
    "FILE:$input" \
    "OPENSSL:127.0.0.1:$port,cert=$certs/sender.cert.pem,key=$certs/sender.key.pem,cafile=$certs/relay-a.cert.pem,verify=1,commonname=relay-a" \
    2>"$work/connect.err" &
  cpid=$!
  bg_pids+=("$cpid")
  wait "$lpid" || lrc=$?
  last_secs=$(secs_since "$t0")
  wait "$cpid" || crc=$?
  [ -z "$mpid" ] || wait "$mpid" || mrc=$?
  bg_pids=()
  [ "$lrc" -eq 0 ] || fail "socat listener exited with $lrc: $(tail -n 5 "$work/listen.err")"
  [ "$mrc" -eq 0 ] || fail "middle socat exited with $mrc: $(tail -n 5 "$work/middle.err")"
  [ "$crc" -eq 0 ] || fail "socat sender exited with $crc: $(tail -n 5 "$work/connect.err")"
  [ "$(stat -c %s "$out")" -eq "$bytes" ] || fail "socat output size $(stat -c %s "$out") != $bytes"
  cmp -s "$input" "$out" || fail "socat output differs from the input"
  rm -f "$out"

  socat_cipher=$(grep -o 'SSL connection using .*' "$work/listen.err" | head -n 1 || true)
  local l_cpu c_cpu m_cpu m_rss
  read -r l_cpu _ < <(timer_cpu_rss "$work/listen.time")
  read -r c_cpu _ < <(timer_cpu_rss "$work/connect.time")
  last_info="listener cpu $l_cpu s, sender cpu $c_cpu s"
  if [ -n "$mpid" ]; then
    read -r m_cpu m_rss < <(timer_cpu_rss "$work/middle.time")
    last_info+=", middle cpu $m_cpu s"
    socat_middle_rss_kib=$m_rss
  fi
}

# ---- main -------------------------------------------------------------------------

# The input, A's copy, B's copy and a socat output exist at once.
fresh_work $((size_mib * 4 + 256))

certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" relay-a relay-b sender || fail "make-certs.sh failed"

step "bench: ${size_mib} MiB save, sender -> A -> B, $runs runs per tool, throttle off, $(nproc) CPUs"
step "making the input (${size_mib} MiB of random bytes)"
input="$work/input.bin"
bytes=$((size_mib * 1024 * 1024))
head -c "$bytes" /dev/urandom >"$input"
# Its write-back would otherwise land on the first timed run.
sync "$input"

mapfile -t ports < <(free_ports 3)
[ "${#ports[@]}" -eq 3 ] || fail "no free loopback ports"
a_port=${ports[0]}
a_closure=${ports[1]}
b_port=${ports[2]}

step "starting B (listens on $b_port, stores) and A (listens on $a_port, pushes to B)"
start_relay b "[Connection]
Host=
Port=$b_port
PeerCN=relay-a
ThrottlingEnabled=0" \
  cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem clientcert.pem=relay-a.cert.pem
start_relay a "[Connection]
Host=
Port=$a_port
ClosurePort=$a_closure
PeerCN=sender
ThrottlingEnabled=0
[Forward]
Host=127.0.0.1
Port=$b_port
PeerCN=relay-b" \
  cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem \
  clientcert.pem=sender.cert.pem forwardcert.pem=relay-b.cert.pem

step "throughput: ${size_mib} MiB, tarnwick chain, socat 1 hop and socat 2 hops alternated"
t_rates=()
s1_rates=()
s2_rates=()
ratios=()
ratios1=()
h1_rates=()
h2_rates=()
for ((i = 1; i <= runs; i++)); do
  run_tarnwick "$input" "$bytes" "$i"
  tr=$(rate "$size_mib" "$last_secs")
  h1_rates+=("$(rate "$size_mib" "$last_hop1")")
  h2_rates+=("$(awk -v m="$size_mib" -v t="$last_secs" -v c="$last_hop1" 'BEGIN { printf "%.1f", m / (t - c) }')")
  printf '    run %d/%d  tarnwick chain %8s s  %8s MiB/s  (%s)\n' "$i" "$runs" "$last_secs" "$tr" "$last_info"
  run_socat "$input" "$bytes" 1
  s1=$(rate "$size_mib" "$last_secs")
  printf '    run %d/%d  socat 1 hop    %8s s  %8s MiB/s  (%s)\n' "$i" "$runs" "$last_secs" "$s1" "$last_info"
  run_socat "$input" "$bytes" 2
  s2=$(rate "$size_mib" "$last_secs")
  printf '    run %d/%d  socat 2 hops   %8s s  %8s MiB/s  (%s)\n' "$i" "$runs" "$last_secs" "$s2" "$last_info"
  t_rates+=("$tr")
  s1_rates+=("$s1")
  s2_rates+=("$s2")
  ratios+=("$(awk -v a="$tr" -v b="$s2" 'BEGIN { printf "%.3f", a / b }')")
  ratios1+=("$(awk -v a="$tr" -v b="$s1" 'BEGIN { printf "%.3f", a / b }')")
done
stop_relay a
stop_relay b

ratio=$(median 3 "${ratios[@]}")
ratio1=$(median 3 "${ratios1[@]}")
ratio_ok=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.7) ? "MET" : "MISSED" }')

step "results (${size_mib} MiB, $runs runs)"
printf '    tarnwick sender->A->B  median %8s MiB/s   runs: %s\n' "$(median 1 "${t_rates[@]}")" "${t_rates[*]}"
printf '      sender->A (until A confirmed) median %8s MiB/s, A->B (the rest) median %8s MiB/s\n' \
  "$(median 1 "${h1_rates[@]}")" "$(median 1 "${h2_rates[@]}")"
printf '    socat 2 hops           median %8s MiB/s   runs: %s\n' "$(median 1 "${s2_rates[@]}")" "${s2_rates[*]}"
printf '    socat 1 hop            median %8s MiB/s   runs: %s\n' "$(median 1 "${s1_rates[@]}")" "${s1_rates[*]}"
printf '    ratio tarnwick/socat 2 hops (median of per-run ratios %s): %s   target >= 0.7: %s\n' \
  "${ratios[*]}" "$ratio" "$ratio_ok"
printf '    for reference, tarnwick/socat 1 hop (median of %s): %s\n' "${ratios1[*]}" "$ratio1"
printf '    relay peak memory (VmHWM): A %s MiB (%d threads), B %s MiB (%d threads)\n' \
  "$(mib "${hwm_kib[a]}")" "${threads[a]}" "$(mib "${hwm_kib[b]}")" "${threads[b]}"
[ "${socat_middle_rss_kib:-n/a}" = "n/a" ] || printf '    middle socat peak RSS: %s MiB\n' "$(mib "$socat_middle_rss_kib")"
[ -z "${socat_cipher:-}" ] || printf '    socat %s\n' "$socat_cipher"

ok=1
