#!/bin/sh
# Builds the decoder fuzzer with clang and runs it for a bounded time.
#   fuzz/run.sh [SECONDS]     (default 60)
# Exits non-zero when the fuzzer finds a crash, a leak or a sanitizer error;
# the offending input is left in build-fuzz/ as crash-* for a regression test.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build-fuzz"
mkdir -p "$out/corpus"
flags="-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I$root/src"
# Only the codec and the core types it needs: the fuzzer does not depend on
# the state of the rest of the tree.
clang++ $flags -o "$out/decode_fuzzer" \
    "$root/fuzz/decode_fuzzer.cpp" \
    "$root/src/protocol/decoder.cpp" "$root/src/protocol/encoder.cpp" \
    "$root/src/protocol/utf8.cpp" "$root/src/protocol/envelope.cpp" \
    "$root"/src/core/*.cpp -pthread
cd "$out"
./decode_fuzzer -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 corpus
