#!/bin/sh
# Builds the fuzz targets with clang and runs each one briefly over its seed
# corpus. Fails on any finding, and when clang or libFuzzer is missing.
# Usage: run-smoke.sh <source-dir> <work-dir>; KORVEL_FUZZ_SECONDS sets the
# time per target (20 s by default).
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 <source-dir> <work-dir>" >&2
    exit 2
fi

fail() {
    echo "FUZZ SMOKE FAILED: $*" >&2
    exit 1
}

# A missing compiler or runtime must fail, not skip: the run would prove nothing.
command -v clang++ >/dev/null 2>&1 || fail "clang++ not found (apt-get install clang libclang-rt-14-dev)"
source_dir=$(cd "$1" && pwd)
mkdir -p "$2"
work_dir=$(cd "$2" && pwd)
seconds=${KORVEL_FUZZ_SECONDS:-20}
targets="fuzz_recording_index fuzz_settings"

probe="$work_dir/probe"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' > "$probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe.cpp" -o "$probe" \
    || fail "clang++ cannot link libFuzzer with ASan/UBSan (apt-get install libclang-rt-14-dev)"

cmake -S "$source_dir" -B "$work_dir/build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF -DKORVEL_GUI=OFF \
    || fail "configuring the clang build"
# shellcheck disable=SC2086 # one argument per target
cmake --build "$work_dir/build" -j2 --target $targets || fail "building the fuzz targets"

status=0
for target in $targets; do
    # New inputs go to a scratch folder: the seeds in the source tree stay as they are.
    corpus="$work_dir/corpus/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$work_dir/artifacts"
    echo "== $target: $seconds s"
    if ! "$work_dir/build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work_dir/artifacts/$target-" \
        "$corpus" "$source_dir/tests/fuzz/corpus/$target"; then
        echo "FUZZ SMOKE FAILED: $target found a fault; the input is in $work_dir/artifacts" >&2
        status=1
    fi
done
exit $status
