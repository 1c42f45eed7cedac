#!/usr/bin/env bash
# Builds and runs the whole test suite twice (normal, and ASan+UBSan), then
# runs each fuzz target briefly. Ends non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 4)

bash scripts/setup-deps.sh || exit 1

failed=0
note() { printf '\n=== %s ===\n' "$*"; }

note "layering check"
bash scripts/check_layers.sh || failed=1

run_suite() {
  local dir=$1; shift
  note "configure $dir"
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  note "build $dir"
  cmake --build "$dir" -j "$jobs" || return 1
  note "test $dir"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 900)
}

mkdir -p build
# Warnings are errors here, and the benchmarks are built so that they keep
# compiling.
strict=(-DTL_WERROR=ON -DTL_DEV_TOOLS=ON)
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${strict[@]}" || failed=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTL_SANITIZE=ON "${strict[@]}" || failed=1

note "fuzz targets"
fuzzdir=build-fuzz
mkdir -p "$fuzzdir"
if cmake -S . -B "$fuzzdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTL_FUZZ=ON -DTL_TESTS=OFF "${strict[@]}" \
     -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
     -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >"$fuzzdir/configure.log" 2>&1 \
   && cmake --build "$fuzzdir" -j "$jobs"; then
  for f in "$fuzzdir"/*_fuzz; do
    [ -f "$f" ] && [ -x "$f" ] || continue  # not the corpus-* folders beside them
    name=$(basename "$f")
    corpus="$fuzzdir/corpus-$name"; mkdir -p "$corpus"
    [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null
    # Archives need room for a 64 KiB extension header and many entries.
    extra=()
    [ "$name" = tar_reader_fuzz ] && extra=(-max_len=262144)
    if "$f" -max_total_time=15 -rss_limit_mb=2048 "${extra[@]}" "$corpus" >"$fuzzdir/$name.log" 2>&1; then
      echo "$name: ok"
    else
      echo "$name: FAILED"; tail -40 "$fuzzdir/$name.log"; failed=1
    fi
  done
else
  cat "$fuzzdir/configure.log"; echo "fuzz build FAILED"; failed=1
fi

note "summary"
if [ $failed -eq 0 ]; then echo "all suites passed"; else echo "FAILURES above"; fi
exit $failed
