#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ (or $TESSAWAY_FUZZ_BUILD_DIR) and runs
# each for SECONDS (default 60), starting from the seeds in fuzz/corpus/<name>/. The corpus grows
# in the build folder; a crash, leak, time-out or out-of-memory leaves its input in
# build-fuzz/findings/<target>/. Prints one line per target: seconds, executions, findings.
# FUZZ_PARALLEL=2 runs two targets at a time; FUZZ_TARGETS="a b" picks targets.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${TESSAWAY_FUZZ_BUILD_DIR:-$root/build-fuzz}
parallel=${FUZZ_PARALLEL:-1}
all=(server_port setup_status http_response start_at_login standin_definition standin_overrides
     launcher_paths)
read -r -a targets <<< "${FUZZ_TARGETS:-${all[*]}}"

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSAWAY_FUZZ=ON -DTESSAWAY_MENUBAR=OFF -DBUILD_TESTING=OFF >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null || exit 1

run_one() {
    local name=$1 corpus="$build/corpus/$1" findings="$build/findings/$1" log="$build/logs/$1.log"
    mkdir -p "$corpus" "$findings" "$build/logs"
    local started=$SECONDS
    "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$name" \
        >"$log" 2>&1
    local status=$? elapsed=$((SECONDS - started))
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    local found
    found=$(find "$findings" -type f | wc -l)
    printf '%-20s %6ss %12s executions %3s findings (exit %s)\n' \
        "$name" "$elapsed" "${runs:-?}" "$found" "$status"
}

failed=0
for name in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
    run_one "$name" &
done
wait
for name in "${targets[@]}"; do
    [ -z "$(find "$build/findings/$name" -type f 2>/dev/null)" ] || failed=1
done
exit $failed
