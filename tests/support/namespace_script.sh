# Shell helpers of the test scripts that build network namespaces.
# Sourced; the script sets SKIP (the exit status of a skipped test) first.

skip() {
    echo "SKIP: $*"
    exit "$SKIP"
}

# Notes a failed check; the script goes on and exits 1 at its end.
fail() {
    echo "FAIL: $*"
    FAILED=1
}

# Waits up to $3 seconds (default 20) for a line matching $2 in file $1.
wait_for_line() {
    local i
    for i in $(seq $((${3:-20} * 10))); do
        grep -q -- "$2" "$1" 2> /dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Ends a process this script started: asks it to close, and after 20 s
# without an end, forces it.
stop_process() {
    local i
    kill -TERM "$1" 2> /dev/null
    for i in $(seq 200); do
        kill -0 "$1" 2> /dev/null || break
        sleep 0.1
    done
    kill -KILL "$1" 2> /dev/null
    wait "$1" 2> /dev/null
}
