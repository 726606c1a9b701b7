# shellcheck shell=bash
# Helpers shared by scripts/demo.sh and bench/*.sh; sourced, never run.
#
# The caller sets fail_who (the word before "FAILED"), certs (the directory
# make-certs.sh filled) before make_relay and work before fresh_work, and
# defines show_logs and cleanup.

# Paths are relative to the repository, wherever the caller is run from.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

step() { printf '==> %s\n' "$*"; }

# The relay logs usually say why, so they go out with the error.
fail() {
  # shellcheck disable=SC2154  # set by the caller
  printf '%s FAILED: %s\n' "$fail_who" "$*" >&2
  show_logs
  exit 1
}

# show_log <title> <file> [lines]: a non-empty log on stderr, whole or only
# its last lines (a long run's log is mostly noise).
show_log() {
  [ -s "$2" ] || return 0
  if [ -n "${3:-}" ]; then
    echo "---- $1 (last $3 lines) ----" >&2
    tail -n "$3" "$2" >&2
  else
    echo "---- $1 ----" >&2
    cat "$2" >&2
  fi
}

# cleanup runs however the script ends; a signal still gives its usual status.
# show_relay_logs <work dir>: the log of every relay-* directory in it.
show_relay_logs() {
  local d
  for d in "$1"/relay-*; do
    [ -d "$d" ] && show_log "$(basename "$d") log" "$d/relay.log" 30
  done
  return 0
}

install_traps() {
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# stop_pids <pid>...: nothing the script started may outlive it. All get
# SIGTERM at once, each then 5 s before SIGKILL; empty arguments are skipped.
stop_pids() {
  local p
  for p in "$@"; do
    [ -n "$p" ] || continue
    kill -TERM "$p" 2>/dev/null || true
  done
  for p in "$@"; do
    [ -n "$p" ] || continue
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
}

# Catch a missing build before anything is started.
need_build() {
  local bin
  for bin in tarnwick tarnwick-send; do
    [ -x "$build/$bin" ] || fail "$build/$bin is missing: run 'cmake --build build' first"
  done
}

# free_ports <n>: N distinct loopback ports nobody listens on right now. They
# are all bound at once so that one call never hands out the same port twice.
free_ports() {
  local n=$1
  if command -v python3 >/dev/null 2>&1; then
    python3 - "$n" <<'EOF' && return
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
for s in socks:
    print(s.getsockname()[1])
EOF
  fi
  local p found=0
  for ((p = 20000; p < 30000 && found < n; p++)); do
    if [ -z "$(ss -Htan "( sport = :$p or dport = :$p )" 2>/dev/null)" ]; then
      echo "$p"
      found=$((found + 1))
    fi
  done
  [ "$found" -eq "$n" ]
}

# wait_listening <port> <pid>: 0 once a background listener is up, 1 if it
# exits first or 10 s go by.
wait_listening() {
  local port=$1 pid=$2
  for _ in $(seq 100); do
    [ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# ---- relays ---------------------------------------------------------------------

# make_relay <dir> <backup root> <settings text> <pem>=<source>...
# The relay reads settings.ini and its start-up PEM files next to its own
# executable; contexts built later (forward listener, closure listener) read
# theirs from the backup root, so the PEMs go into both.
make_relay() {
  local dir=$1 rootdir=$2 settings=$3 pair
  shift 3
  mkdir -p "$dir" "$rootdir"
  ln "$build/tarnwick" "$dir/tarnwick" 2>/dev/null || cp "$build/tarnwick" "$dir/tarnwick"
  # shellcheck disable=SC2154  # set by the caller
  for pair in "$@"; do
    cp "$certs/${pair#*=}" "$dir/${pair%%=*}"
    cp "$certs/${pair#*=}" "$rootdir/${pair%%=*}"
  done
  printf '[Backup]\nDir=%s\n%s\n' "$rootdir" "$settings" >"$dir/settings.ini"
}

# wait_running <log> <pid> <who>: a relay is ready once its log says RUNNING.
# Up to 10 s, giving up at once if it exits.
wait_running() {
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q '^Tarnwick state: RUNNING' "$1" && return 0
    kill -0 "$2" 2>/dev/null || fail "$3 exited before reaching RUNNING"
    sleep 0.1
  done
  grep -q '^Tarnwick state: RUNNING' "$1" || fail "$3 not RUNNING after 10 s"
}

# stop_relay_pid <pid variable> <who>: SIGTERM, then up to 10 s for the exit.
# The variable is cleared as soon as the process is gone, so that cleanup
# never signals a reused pid, and only then is a non-zero status reported.
stop_relay_pid() {
  local p=${!1} rc=""
  kill -TERM "$p"
  for _ in $(seq 100); do
    if ! kill -0 "$p" 2>/dev/null; then
      rc=0
      wait "$p" || rc=$?
      break
    fi
    sleep 0.1
  done
  [ -n "$rc" ] || fail "$2 still running 10 s after SIGTERM"
  printf -v "$1" '%s' ''
  [ "$rc" -eq 0 ] || fail "$2 exited with status $rc after SIGTERM"
}

# ---- benchmarks -----------------------------------------------------------------

# need_positive <variable>...: sizes and counts are whole numbers above zero.
need_positive() {
  local v
  for v in "$@"; do
    [[ "${!v}" =~ ^[1-9][0-9]*$ ]] || { echo "bench: ${v^^} must be a positive integer" >&2; exit 2; }
  done
}

# Checks the benchmark's tools, and sets timer / clk_tck for the measurements.
bench_tools() {
  command -v socat >/dev/null || fail "socat not found (apt-get install -y socat)"
  command -v python3 >/dev/null || command -v ss >/dev/null || fail "need python3 or ss to pick ports"
  # /usr/bin/time gives the CPU time and peak RSS of the short-lived processes.
  timer=()
  if [ -x /usr/bin/time ]; then timer=(/usr/bin/time -f '%e %U %S %M'); fi
  clk_tck=$(getconf CLK_TCK)
}

# fresh_work <MiB needed>: an empty work directory on a disk with room for
# the inputs and every copy made of them.
fresh_work() {
  local avail_mib
  # shellcheck disable=SC2154  # set by the caller
  rm -rf "$work"
  mkdir -p "$work"
  avail_mib=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
  [ "$avail_mib" -ge "$1" ] || fail "need $1 MiB free in $work, have ${avail_mib} MiB"
}

# Seconds of CPU (user+system, all threads) a live process has used so far.
proc_cpu() {
  local stat
  stat=$(cat "/proc/$1/stat") || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086  # split the fields on purpose
  set -- $stat
  awk -v u="${12}" -v s="${13}" -v t="$clk_tck" 'BEGIN { printf "%.2f", (u + s) / t }'
}

# "<user+sys> <maxrss KiB>" from a /usr/bin/time output file, or "n/a n/a".
timer_cpu_rss() {
  if [ "${#timer[@]}" -gt 0 ] && [ -s "$1" ]; then
    tail -n 1 "$1" | awk '{ printf "%.2f %d\n", $2 + $3, $4 }'
  else
    echo "n/a n/a"
  fi
}

status_kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
rate() { awk -v m="$1" -v s="$2" 'BEGIN { printf "%.1f", m / s }'; }
# median <decimals> <value>...
median() {
  local d=$1
  shift
  printf '%s\n' "$@" | sort -g | awk -v d="$d" '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.*f\n", d, m }'
}
