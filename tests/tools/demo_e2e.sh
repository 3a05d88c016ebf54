#!/usr/bin/env bash
# Runs scripts/demo on an existing build and checks that the reader sees the driver at work:
# every family read and switched through the exported functions, and everything cleaned up.
#   demo_e2e.sh DEMO BUILD_DIR
set -uo pipefail
demo="$1"
build_dir="$2"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT

"$demo" --no-build --build-dir "$build_dir" >"$out" 2>&1
status=$?
cat "$out"
echo "---- demo exit status $status"
[ $status -eq 0 ] || exit 1

failed=0
expect() {
    if ! grep -qF -- "$1" "$out"; then
        echo "MISSING in demo output: $1"
        failed=1
    fi
}
grep -qE "(19|20) of 20 exports present" "$out" || { echo "MISSING: exports line"; failed=1; }
expect "VexlorWeb_IO_Init(lang 1, slot 0) -> 0 OK: success"
expect "word 0x005  bits 0..11: 1 0 1 0 0 0 0 0 0 0 0 0"
expect "changed: in3 0->1"
expect "value 0x803 as expected"
expect "[simulator] outputs d12  ->  OK 0x803"
expect "counters: 0=5 1=0 2=3"
expect "counters: 0=0 1=0 2=3"
expect "[simulator] error d12  ->  OK 0"
expect "changed: in23 0->1"
expect "value 0xF0000F as expected"
expect "23=7"
expect "T1=21.50"
expect "T1=18.50  T2=24.00"
expect "T1=19.50  T2=20.00  T3=20.50  T4=21.00  T5=-999 (no sensor)  T6=22.00  T7=22.50  T8=23.00"
expect "changed: in1 0->1, in3 0->1"
expect "[simulator] outputs ioc  ->  OK 0x89"
expect "result 6 as expected"
expect "result 2 as expected"
expect "10061 WSAECONNREFUSED: connection refused"
expect "Password=I/O Controller"
expect "=== DEMO COMPLETE"
if grep -q "Password=demo12" "$out"; then
    echo "a password was stored in plain text"
    failed=1
fi

# Nothing may be left behind: the simulator is stopped and the run directory removed.
pid="$(sed -n 's/.*simulator pid \([0-9]*\),.*/\1/p' "$out" | head -1)"
if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    echo "the simulator (pid $pid) is still running"
    kill "$pid"
    failed=1
fi
run_dir="$(sed -n 's/^driver copied to //p' "$out" | head -1)"
if [ -n "$run_dir" ] && [ -e "$run_dir" ]; then
    echo "the run directory $run_dir was not removed"
    failed=1
fi
exit $failed
