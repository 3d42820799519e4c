#!/usr/bin/env bash
# Runs the benchmark programs found in a build folder and prints their figures.
#   tools/bench.sh BUILD_DIR [REPETITIONS]
# Programs that were not built are skipped. The agent's benchmarks keep the
# large stations they build under $QELEXP_BENCH_CACHE (default
# /tmp/qelexp-bench-cache); the first run builds them (about a minute).
set -uo pipefail
build=${1:?usage: tools/bench.sh BUILD_DIR [REPETITIONS]}
reps=${2:-5}
status=0

find_program() {  # name -> path of the built program, or nothing
    find "$build" -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1
}

run_google_bench() {  # name
    local exe
    exe=$(find_program "$1")
    if [ -z "$exe" ]; then
        echo "== $1: not built, skipped"
        return
    fi
    echo "== $1"
    "$exe" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true || status=1
}

for name in bench_db bench_protocol bench_agent bench_corrections bench_central; do
    run_google_bench "$name"
done

drain=$(find_program qelexp-drain-bench)
if [ -z "$drain" ]; then
    echo "== qelexp-drain-bench: not built, skipped"
else
    echo "== qelexp-drain-bench 20000 (backlog drain, 1000 sales per transfer)"
    "$drain" 20000 --max-sales 1000 || status=1
    echo "== qelexp-drain-bench --one-transfer (peak memory of one 100-sale transfer)"
    "$drain" --one-transfer || status=1  # builds the prepared station once
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -v "$drain" --one-transfer 2>&1 |
            grep -E "rows sent|seconds|max RSS|Maximum resident" || status=1
    fi
fi

cleanup=$(find_program qelexp-cleanup-bench)
if [ -z "$cleanup" ]; then
    echo "== qelexp-cleanup-bench: not built, skipped"
else
    echo "== qelexp-cleanup-bench (busy day and 100,000-sale backlog with a writer at the till)"
    "$cleanup" all || status=1
fi

central=$(find_program load_central)
if [ -z "$central" ]; then
    echo "== load_central: not built, skipped"
else
    echo "== load_central (100 stations, two servers over one PostgreSQL)"
    "$central" 100 30 10 || status=1
fi

# Last: every figure of the export path against the floor of its own work,
# measured in the same run, ending with the table of ratios.
ratio=$(find_program qelexp-ratio-bench)
if [ -z "$ratio" ]; then
    echo "== qelexp-ratio-bench: not built, skipped"
else
    echo "== qelexp-ratio-bench (figure, floor of the same work, ratio)"
    "$ratio" || status=1
fi

exit $status
