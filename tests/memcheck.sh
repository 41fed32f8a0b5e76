#!/usr/bin/env bash
# Valgrind memcheck with zero errors allowed: every GoogleTest executable of a build (not the
# end-to-end Python test or the packaging tests), then the program itself for a few whole runs
# against the local SMTP server (scripts/smtp_sink.py). A memory error, a definite or possible
# leak, or a failing test fails the stage.
#
#     tests/memcheck.sh BUILD_DIR
#
# The programs the tests start (brenvox, setpriv, cat) run outside Valgrind there: under it,
# brenvox would be too slow for the tests that time a server's close. The second part checks
# brenvox itself instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
jobs=$(nproc)
memcheck=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,possible
          --suppressions="$root/tests/valgrind.supp")
work=$(mktemp -d)
sink_pid=
cleanup() {
    if [ -n "$sink_pid" ]; then
        kill "$sink_pid" 2>/dev/null || true
        wait "$sink_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# -- The test executables, as many at a time as there are processors. --
export MEMCHECK_SUPPRESSIONS="$root/tests/valgrind.supp" MEMCHECK_WORK="$work"
tests=("$build"/tests/*_test)
printf '%s\n' "${tests[@]}" | xargs -P "$jobs" -I{} bash -c '
    name=$(basename "$1")
    start=$(date +%s)
    status=0
    valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,possible \
        --suppressions="$MEMCHECK_SUPPRESSIONS" "$1" --gtest_brief=1 \
        >"$MEMCHECK_WORK/$name.log" 2>&1 || status=$?
    echo "$status $(($(date +%s) - start))" >"$MEMCHECK_WORK/$name.result"' _ {}
failed=0
for exe in "${tests[@]}"; do
    name=$(basename "$exe")
    read -r status seconds <"$work/$name.result"
    if [ "$status" -eq 0 ]; then
        echo "memcheck: $name clean (${seconds}s)"
    else
        echo "memcheck: $name FAILED (status $status)"
        cat "$work/$name.log"
        failed=1
    fi
done
[ "$failed" -eq 0 ] || exit 1

# -- brenvox itself: whole runs, each with the status it must end with. --
mkdir "$work/spool" "$work/run"
/usr/bin/python3 "$root/scripts/smtp_sink.py" "$work/spool" --auth user:secret --seconds 300 \
    >"$work/sink.log" 2>&1 &
sink_pid=$!
for _ in $(seq 100); do
    grep -q '^listening' "$work/sink.log" 2>/dev/null && break
    sleep 0.1
done
port=$(awk '/^listening/ {print $4}' "$work/sink.log")
[ -n "$port" ] || { echo "memcheck: the local SMTP server did not start"; cat "$work/sink.log"; exit 1; }

head -c 100000 /dev/urandom >"$work/data.bin"
printf 'line\n.\n..dots\n' >"$work/body.txt"
printf 'Subject: raw\r\n\r\nraw body\r\n.\r\n' >"$work/raw.eml"
printf '127.0.0.1:%s\nmemcheck.test\nme@x.test\nyou@y.test, them@y.test\nConfig\nfrom config\n' \
    "$port" >"$work/config"
server=(-S 127.0.0.1 -P "$port" -f me@x.test -t you@y.test)
check_run() {
    local expected=$1 status=0
    shift
    (cd "$work/run" && "${memcheck[@]}" "$build/brenvox" "$@") >"$work/brenvox.log" 2>&1 || status=$?
    if [ "$status" -ne "$expected" ] || [ -n "$(ls -A "$work/run")" ]; then
        echo "memcheck: brenvox $* ended with $status (expected $expected) or left a file:"
        cat "$work/brenvox.log"
        ls -A "$work/run"
        exit 1
    fi
}
check_run 1 --help
check_run 0 -v "${server[@]}" -A user:secret -s "Memcheck" -m "text" -a "$work/data.bin" "$work/body.txt"
check_run 0 "${server[@]}" -M "$work/body.txt"
check_run 0 -c "$work/config" -m "and from the command line"
check_run 0 "${server[@]}" -r "$work/raw.eml"
check_run 1 "${server[@]}" -A user:wrong -m "refused"
check_run 1 "${server[@]}" -a "$work/missing"
check_run 1 "${server[@]}" -s $'line\nbreak'
check_run 1 -S 127.0.0.1 -P 1 -f me@x.test -t you@y.test -m "nothing listens"
delivered=$(find "$work/spool" -name '*.eml' | wc -l)
[ "$delivered" -eq 4 ] || { echo "memcheck: $delivered messages delivered, 4 expected"; exit 1; }
echo "memcheck: brenvox clean in 9 runs (4 delivered)"
