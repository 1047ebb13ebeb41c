#!/bin/sh
# Line coverage of the daemon's sources reached by the daemon fuzz targets'
# corpora: builds the two targets with clang's source-based coverage in
# BUILD_DIR, replays each target's committed seeds and grown corpus (from
# WORK_DIR/TARGET/corpus, as tests/fuzz/run.sh leaves it) without fuzzing,
# and prints llvm-cov's report for daemon/*.cpp, each target alone and both
# together. Usage: coverage.sh BUILD_DIR WORK_DIR
set -eu
build=$1
work=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
for tool in llvm-profdata-14 llvm-cov-14; do
    command -v "$tool" >/dev/null || { echo "coverage.sh: $tool is missing (apt-get install llvm-14)" >&2; exit 1; }
done

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAVEVAR_FUZZ=ON -DVAVEVAR_BUILD_TESTS=OFF \
    -DVAVEVAR_BUILD_BENCH=OFF -DVAVEVAR_BUILD_EXAMPLES=OFF \
    "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate" >/dev/null
cmake --build "$build" -j 2 --target vavevard_request_fuzz vavevard_server_fuzz >/dev/null

sources=$(ls "$top"/daemon/*.cpp | grep -v '/main\.cpp$')
profiles=$build/profiles
rm -rf "$profiles"
mkdir -p "$profiles"
for target in vavevard_request_fuzz vavevard_server_fuzz; do
    case $target in
        vavevard_request_fuzz) seeds=$top/daemon/fuzz/corpus ;;
        *) seeds=$top/daemon/fuzz/corpus-server ;;
    esac
    corpus=$work/$target/corpus
    mkdir -p "$corpus"
    LLVM_PROFILE_FILE="$profiles/$target-%p.profraw" \
        "$build/daemon/fuzz/$target" -runs=0 "$corpus" "$seeds" >"$profiles/$target.log" 2>&1
    llvm-profdata-14 merge -sparse "$profiles/$target"-*.profraw -o "$profiles/$target.profdata"
    echo "== $target ($(ls "$corpus" | wc -l) grown inputs and the seeds)"
    # shellcheck disable=SC2086
    llvm-cov-14 report "$build/daemon/fuzz/$target" -instr-profile="$profiles/$target.profdata" $sources
done
llvm-profdata-14 merge -sparse "$profiles"/*.profdata -o "$profiles/both.profdata"
echo "== both targets"
# shellcheck disable=SC2086
llvm-cov-14 report "$build/daemon/fuzz/vavevard_server_fuzz" -object "$build/daemon/fuzz/vavevard_request_fuzz" \
    -instr-profile="$profiles/both.profdata" $sources
