#!/usr/bin/env bash
# One entry point for building, testing and measuring TolvanLib.
#   ./build.sh deps       install the Debian packages the build and tests need (only missing ones)
#   ./build.sh build      configure and build into build/
#   ./build.sh test       deps + build + the whole test suite (ctest)
#   ./build.sh demo       deps + build + run `tolvan demo` (a scene file sent compressed over 127.0.0.1)
#   ./build.sh bench      build and run the Google Benchmark programs (build-bench/)
#   ./build.sh sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build, whole suite (build-asan/)
#   ./build.sh tsan       ThreadSanitizer build, tests labelled "concurrency" (build-tsan/)
#   ./build.sh fuzz       clang-14 libFuzzer build, each target for FUZZ_SECONDS (default 60) (build-fuzz/)
#   ./build.sh docs       API reference from the public headers with Doxygen (build/docs/html)
#   ./build.sh package    Release build and Debian package (build-package/), checked by an outside project
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}
CMAKE_EXTRA=()
[ "${CI:-}" = "true" ] && CMAKE_EXTRA+=(-DTOLVAN_WERROR=ON)

PACKAGES=(
    build-essential cmake ninja-build pkg-config python3
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    zlib1g-dev librapidxml-dev libopenimageio-dev libcurl4-openssl-dev libsqlite3-dev
    clang-14 libclang-rt-14-dev locales
    libtbb-dev libssl-dev libpugixml-dev
    libxml2-utils qpdf curl openssl openimageio-tools
    libwxgtk3.2-dev
    doxygen
)
# Needed by the benchmarks alone (./build.sh bench): iperf3 is the whole-process peer of the socket one.
BENCH_PACKAGES=(iperf3)
LOCALES=(en_US.UTF-8 de_DE.UTF-8)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

deps() {
    local missing=()
    for p in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
    local need_gen=0
    for l in "${LOCALES[@]}"; do
        locale -a 2>/dev/null | grep -qi "^${l%.UTF-8}.utf8$" || need_gen=1
    done
    if [ $need_gen -eq 1 ]; then
        for l in "${LOCALES[@]}"; do
            grep -q "^${l} UTF-8" /etc/locale.gen 2>/dev/null || echo "${l} UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
        done
        as_root locale-gen >/dev/null
    fi
}

# configure DIR [cmake args...]
configure() {
    local dir=$1; shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "${CMAKE_EXTRA[@]}" "$@" >/dev/null
}

compile() {
    cmake --build "$ROOT/$1" -j "$JOBS"
}

run_ctest() {
    local dir=$1; shift
    ctest --test-dir "$ROOT/$dir" --output-on-failure -j "$JOBS" "$@"
}

build() {
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    compile build
}

cmd_test() {
    deps
    build
    run_ctest build
}

cmd_demo() {
    deps
    build
    "$ROOT/build/tools/tolvan" demo
}

cmd_bench() {
    deps "${BENCH_PACKAGES[@]}"
    configure build-bench -DCMAKE_BUILD_TYPE=Release -DTOLVAN_BUILD_BENCH=ON -DTOLVAN_BUILD_TESTS=OFF
    compile build-bench
    for b in "$ROOT"/build-bench/bench/tolvan_*_bench; do
        echo "== $(basename "$b")"
        "$b" ${BENCH_ARGS:-}
    done
}

cmd_sanitize() {
    deps
    configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTOLVAN_SANITIZE=address -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
    compile build-asan
    ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:abort_on_error=1:halt_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        run_ctest build-asan
}

cmd_tsan() {
    deps
    configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DTOLVAN_SANITIZE=thread -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
    compile build-tsan
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" run_ctest build-tsan -L concurrency
}

cmd_fuzz() {
    deps
    CC=clang-14 CXX=clang++-14 configure build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTOLVAN_SANITIZE=fuzzer \
        -DTOLVAN_BUILD_FUZZ=ON -DTOLVAN_BUILD_TESTS=OFF -DTOLVAN_BUILD_EXAMPLES=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
    compile build-fuzz
    local seconds=${FUZZ_SECONDS:-60}
    for f in "$ROOT"/build-fuzz/fuzz/tolvan_*_fuzz; do
        [ -n "${FUZZ_TARGET:-}" ] && [[ "$(basename "$f")" != *"$FUZZ_TARGET"* ]] && continue
        local name corpus options=()
        name=$(basename "$f")
        corpus="$ROOT/build-fuzz/corpus/$name"
        mkdir -p "$corpus"
        # Committed seeds (fuzz/seeds/<name>_fuzz/) are read too; new inputs go to the build's corpus.
        local seeds=() seed_dir="$ROOT/fuzz/seeds/${name#tolvan_}"
        [ -d "$seed_dir" ] && seeds=("$seed_dir")
        # The XML targets start from documents nested around the reader's limit, long enough to reach it.
        if [[ "$name" == *xml* ]]; then
            python3 "$ROOT/fuzz/xml_seeds.py" "$corpus" "$name"
            options+=(-max_len=20000)
        fi
        echo "== $name for ${seconds}s"
        ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1" \
            "$f" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 "${options[@]}" "$corpus" \
            "${seeds[@]}" 2>&1 | tail -n 15
    done
}

# The project version, as project() in CMakeLists.txt declares it.
project_version() {
    sed -n 's/^project(TolvanLib VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt"
}

# Doxygen errors fail the run, and so do configuration warnings (Doxygen prints them before it opens
# the log) and a reference that lacks the page of a header (a failing input filter is silent). The other
# warnings (mostly undocumented members) are counted and listed in build/docs/warnings.log.
cmd_docs() {
    deps
    local out="$ROOT/build/docs"
    rm -rf "$out"
    mkdir -p "$out"
    TOLVAN_ROOT="$ROOT" TOLVAN_DOCS_DIR="$out" TOLVAN_VERSION="$(project_version)" \
        doxygen "$ROOT/docs/Doxyfile" 2>"$out/doxygen.stderr"
    # Doxygen repeats a warning for every class that inherits the member: count each one once.
    sort -u -o "$out/warnings.log" "$out/warnings.log"
    local errors warnings undocumented headers pages
    errors=$(cat "$out/warnings.log" "$out/doxygen.stderr" | grep -c 'error:' || true)
    errors=$((errors + $(grep -c 'warning:' "$out/doxygen.stderr" || true)))
    warnings=$(grep -c 'warning:' "$out/warnings.log" || true)
    undocumented=$(grep -c 'warning:.*is not documented' "$out/warnings.log" || true)
    headers=$(find "$ROOT/tolvan" \( -name '*.h' -o -name '*.inl' \) ! -name '*_posix.h' | wc -l)
    pages=$(find "$out/html" -maxdepth 1 \( -name '*_8h.html' -o -name '*_8inl.html' \) | wc -l)
    echo "API reference: $out/html/index.html ($pages of $headers headers)"
    echo "Doxygen: $errors errors, $warnings warnings ($undocumented undocumented members); see $out/warnings.log"
    if [ "$errors" -gt 0 ] || [ "$pages" -lt "$headers" ]; then
        cat "$out/doxygen.stderr" >&2
        grep 'error:' "$out/warnings.log" >&2 || true
        echo "Doxygen failed" >&2
        return 1
    fi
}

# Release build of the library and tools only, packed by CPack; the package test then builds an outside
# project against the unpacked .deb.
cmd_package() {
    deps
    configure build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DTOLVAN_BUILD_TESTS=OFF \
        -DTOLVAN_BUILD_EXAMPLES=OFF -DTOLVAN_BUILD_PACKAGE_TEST=ON
    compile build-package
    rm -f "$ROOT"/build-package/tolvanlib_*.deb
    (cd "$ROOT/build-package" && cpack -G DEB)
    run_ctest build-package -L package
}

case "${1:-}" in
    deps) deps ;;
    build) build ;;
    test) cmd_test ;;
    demo) cmd_demo ;;
    bench) cmd_bench ;;
    sanitize) cmd_sanitize ;;
    tsan) cmd_tsan ;;
    fuzz) cmd_fuzz ;;
    docs) cmd_docs ;;
    package) cmd_package ;;
    *) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
