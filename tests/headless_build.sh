#!/bin/sh
# Builds the command-line-only configuration beside the default one, checks that
# the program links no Qt Gui or Widgets library, and runs its engine and command
# tests. Usage: headless_build.sh <source-dir> <work-dir>
set -eu
source_dir=$(cd "$1" && pwd)
mkdir -p "$2"
work_dir=$(cd "$2" && pwd)

fail() {
    echo "HEADLESS BUILD FAILED: $*" >&2
    exit 1
}

cmake -S "$source_dir" -B "$work_dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_GUI=OFF -DKORVEL_TESTS=ON \
    ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} \
    || fail "configuring with KORVEL_GUI=OFF"
cmake --build "$work_dir/build" -j2 --target korvel-recorder tst_command_line tst_convert_command tst_clip_command tst_serve_command || fail "building with KORVEL_GUI=OFF"
program="$work_dir/build/korvel-recorder"
if ldd "$program" | grep -E 'libQt6(Gui|Widgets|Charts|Svg|OpenGL)'; then
    fail "the command-line-only program links the libraries above"
fi
ctest --test-dir "$work_dir/build" -R "^tst_(command_line|convert_command|clip_command|serve_command)$" --output-on-failure || fail "the command tests"
echo "command-line-only build: no Qt Gui or Widgets linked, command tests passed"
