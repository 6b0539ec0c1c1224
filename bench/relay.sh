#!/usr/bin/env bash
# Times one secured transfer between two fwpost on loopback, first direct
# and then through fwpost-rendezvous's relay, both at BufSize 4 MiB, and
# reports the relayed speed as a share of the direct one and the relay's CPU
# time per relayed GiB (from /proc, user + system). Last, it runs many
# relayed pairs at once with raw sockets (bench/relay_pairs.py) and reports
# the service's peak memory meanwhile.
#
# usage: bench/relay.sh [--build DIR] [--mib N] [--runs N] [--pairs N] [--pair-mib N]
#
# Nothing leaves the machine: every process listens on 127.0.0.1. Each process
# it starts is ended by its process id, and its temporary folder removed, on
# exit, error, Ctrl-C and SIGTERM.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
MIB=1024
RUNS=3
PAIRS=100
PAIR_MIB=16
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="$2"; shift 2 ;;
        --mib) MIB="$2"; shift 2 ;;
        --runs) RUNS="$2"; shift 2 ;;
        --pairs) PAIRS="$2"; shift 2 ;;
        --pair-mib) PAIR_MIB="$2"; shift 2 ;;
        -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
        *) echo "relay.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
SERVICE="$BUILD/bin/fwpost-rendezvous"
FWPOST="$BUILD/bin/fwpost"
for program in "$SERVICE" "$FWPOST"; do
    [ -x "$program" ] || { echo "relay.sh: build $program first" >&2; exit 2; }
done
export FWP_SSDP_TARGET=off

TMP="$(mktemp -d "${TMPDIR:-/tmp}/fwp-relay-bench-XXXXXX")"
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

# The CPU time a process has used so far, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
now() { date +%s.%N; }

"$SERVICE" --listen 127.0.0.1:0 --db :memory: --rate-limit 0 --relay-listen 127.0.0.1:0 \
    --relay-per-address 0 --relay-max-pairs $((PAIRS + 10)) >"$TMP/service.log" 2>&1 &
SERVICE_PID=$!
PIDS+=("$SERVICE_PID")
for _ in $(seq 100); do grep -q '^listening' "$TMP/service.log" && break; sleep 0.1; done
URL="http://$(awk '/^listening/ { print $2 }' "$TMP/service.log")/easy.cgi"
printf '[Config]\r\nReconnect=1\r\n' >"$TMP/config.ini"
mkdir -p "$TMP/in"
head -c "$((MIB << 20))" /dev/urandom >"$TMP/file.bin"
COMMON=(-c "$TMP/config.ini" -q -y -d "$TMP/in" -b 4194304 --secret bench)

# One transfer; prints its seconds.
transfer() {
    local mode="$1" listener port start end
    rm -f "$TMP/in/file.bin" "$TMP/listen.out"
    if [ "$mode" = direct ]; then
        "$FWPOST" listen -p 0 "${COMMON[@]}" >"$TMP/listen.out" 2>&1 &
    else
        "$FWPOST" listen -p 0 "${COMMON[@]}" --register bench --relay --service-url "$URL" >"$TMP/listen.out" 2>&1 &
    fi
    listener=$!
    PIDS+=("$listener")
    for _ in $(seq 200); do grep -qs '^listening' "$TMP/listen.out" && break; sleep 0.05; done
    port="$(awk '/^listening/ { print $2 }' "$TMP/listen.out")"
    start="$(now)"
    if [ "$mode" = direct ]; then
        "$FWPOST" connect 127.0.0.1 -p "$port" "${COMMON[@]}" "$TMP/file.bin" >/dev/null
    else
        "$FWPOST" connect --user bench --relay --service-url "$URL" "${COMMON[@]}" "$TMP/file.bin" >/dev/null
    fi
    end="$(now)"
    wait "$listener" || true
    cmp -s "$TMP/file.bin" "$TMP/in/file.bin" || { echo "relay.sh: $mode transfer differs" >&2; exit 1; }
    echo "$end - $start" | bc -l
}

best() { sort -g | head -1; }
echo "secured transfer of $MIB MiB at BufSize 4 MiB, best of $RUNS:"
DIRECT="$(for _ in $(seq "$RUNS"); do transfer direct; done | best)"
TICKS_BEFORE="$(cpu_ticks "$SERVICE_PID")"
RELAYED="$(for _ in $(seq "$RUNS"); do transfer relayed; done | best)"
TICKS_AFTER="$(cpu_ticks "$SERVICE_PID")"
HZ="$(getconf CLK_TCK)"
RELAYED_GIB="$(echo "$RUNS * $MIB / 1024" | bc -l)"
printf '  direct   %6.2f s  %7.1f MiB/s\n' "$DIRECT" "$(echo "$MIB / $DIRECT" | bc -l)"
printf '  relayed  %6.2f s  %7.1f MiB/s  (%.2fx direct)\n' "$RELAYED" "$(echo "$MIB / $RELAYED" | bc -l)" \
    "$(echo "$DIRECT / $RELAYED" | bc -l)"
printf '  relay CPU %.2f s per relayed GiB\n' \
    "$(echo "($TICKS_AFTER - $TICKS_BEFORE) / $HZ / $RELAYED_GIB" | bc -l)"

echo "$PAIRS relayed pairs at once, $PAIR_MIB MiB each way:"
python3 "$ROOT/bench/relay_pairs.py" --url "$URL" --pid "$SERVICE_PID" --pairs "$PAIRS" --mib "$PAIR_MIB"
