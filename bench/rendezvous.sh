#!/usr/bin/env bash
# Loads fwpost-rendezvous with wrk on loopback, half lookups and half
# registrations (refreshes once a name exists), first on SQLite (a database
# file in WAL mode, the default storage) and then on Redis, and prints the
# requests per second and latency percentiles of each. Last, it holds
# 2,000 idle connections open to the service and times single requests
# meanwhile (bench/rendezvous_idle.py).
#
# usage: bench/rendezvous.sh [--build DIR] [--duration SECONDS] [--connections N] [--wrk-threads N] [--idle N]
#
# Nothing leaves the machine: every process listens on 127.0.0.1. Each process
# it starts (the service, redis-server) is ended by its process id, and its
# temporary folder removed, on exit, error, Ctrl-C and SIGTERM.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
DURATION=20
CONNECTIONS=32
WRK_THREADS=2
IDLE=2000
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --connections) CONNECTIONS="$2"; shift 2 ;;
        --wrk-threads) WRK_THREADS="$2"; shift 2 ;;
        --idle) IDLE="$2"; shift 2 ;;
        -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
        *) echo "rendezvous.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

BIN="$BUILD/bin/fwpost-rendezvous"
LUA="$ROOT/bench/rendezvous.lua"
if [ ! -x "$BIN" ]; then
    echo "building fwpost-rendezvous in $BUILD" >&2
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD" --target fwpost-rendezvous >/dev/null
fi
command -v wrk >/dev/null || { echo "rendezvous.sh: wrk is not installed (Debian package wrk)" >&2; exit 2; }

TMP="$(mktemp -d "${TMPDIR:-/tmp}/fwp-rendezvous-bench-XXXXXX")"
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Ends one process of ours and forgets it.
stop_pid() {
    local pid="$1" kept=() p
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for p in "${PIDS[@]}"; do
        [ "$p" = "$pid" ] || kept+=("$p")
    done
    PIDS=("${kept[@]+"${kept[@]}"}")
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 20 s for a line starting with $2 in file $1.
wait_for_line() {
    local file="$1" prefix="$2" i
    for i in $(seq 200); do
        if grep -q "^$prefix" "$file" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "rendezvous.sh: no \"$prefix\" line in $file" >&2
    cat "$file" >&2
    return 1
}

# Starts the service with the given storage options; sets SERVICE_PID and SERVICE_URL.
start_service() {
    local log="$TMP/service-$1.log"
    shift
    "$BIN" --listen 127.0.0.1:0 --rate-limit 0 --ttl 3600 "$@" >"$log" 2>&1 &
    SERVICE_PID=$!
    PIDS+=("$SERVICE_PID")
    wait_for_line "$log" "listening "
    local address
    address="$(grep -m1 '^listening ' "$log" | cut -d' ' -f2)"
    SERVICE_URL="http://$address"
}

# Runs wrk against SERVICE_URL and prints one row of the table.
measure() {
    local label="$1" out="$TMP/wrk-$1.txt"
    # The warm-up registers the names, so that the lookups of the measured run find them.
    wrk -t"$WRK_THREADS" -c"$CONNECTIONS" -d3s -s "$LUA" "$SERVICE_URL/" >/dev/null
    wrk -t"$WRK_THREADS" -c"$CONNECTIONS" -d"${DURATION}s" -s "$LUA" "$SERVICE_URL/" >"$out"
    value() { grep "^result $1 " "$out" | cut -d' ' -f3; }
    printf '%-16s %10s %8s %8s %8s %9s %7s %7s\n' "$label" "$(value rps)" "$(value p50)" "$(value p90)" \
        "$(value p99)" "$(value p99.9)" "$(value errors)" "$(value non2xx)"
}

echo "fwpost-rendezvous under wrk: ${WRK_THREADS} wrk threads, ${CONNECTIONS} connections, ${DURATION} s," \
    "50% get / 50% open of 1000 names, $(nproc) cores"
printf '%-16s %10s %8s %8s %8s %9s %7s %7s\n' storage "req/s" "p50 ms" "p90 ms" "p99 ms" "p99.9 ms" errors non2xx

start_service sqlite --db "$TMP/rendezvous.db"
measure "sqlite (file)"
stop_pid "$SERVICE_PID"

if REDIS="$(command -v redis-server)"; then
    REDIS_PORT="$(free_port)"
    cat >"$TMP/redis.conf" <<CONF
bind 127.0.0.1
port $REDIS_PORT
save ""
appendonly no
daemonize no
dir $TMP
logfile $TMP/redis.log
CONF
    "$REDIS" "$TMP/redis.conf" &
    REDIS_PID=$!
    PIDS+=("$REDIS_PID")
    wait_for_line "$TMP/redis.log" ".*Ready to accept connections"
    start_service redis --redis "127.0.0.1:$REDIS_PORT"
    measure "redis"
    stop_pid "$SERVICE_PID"
    stop_pid "$REDIS_PID"
else
    echo "redis            skipped: redis-server is not installed (Debian package redis-server)"
fi

# Idle connections come from 127.0.0.2 and the timed requests from 127.0.0.1;
# the per-address cap is off, so the service really holds every idle one.
start_service idle --db :memory: --max-connections-per-address 0
echo
echo "single requests while ${IDLE} idle connections are held open"
printf '%-16s %10s %8s %8s %8s %9s\n' "" "held" "p50 ms" "p90 ms" "p99 ms" "max ms"
read -r held p50 p90 p99 max < <(python3 "$ROOT/bench/rendezvous_idle.py" "${SERVICE_URL##*:}" --idle "$IDLE")
printf '%-16s %10s %8s %8s %8s %9s\n' "idle" "$held" "$p50" "$p90" "$p99" "$max"
stop_pid "$SERVICE_PID"
