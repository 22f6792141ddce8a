#!/bin/bash
# Builds the whole tree and runs every test.
#   scripts/test.sh              build/ (optimised, with debug info)
#   scripts/test.sh --sanitize   build-asan/ with AddressSanitizer and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=0
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    -h|--help) sed -n '2,4p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

if [ "$sanitize" -eq 1 ]; then
  dir=${TAVRIX_BUILD_DIR:-build-asan}
  cmake -S . -B "$dir" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVRIX_SANITIZE=ON -DTAVRIX_BUILD_BENCH=OFF
  # LeakSanitizer needs ptrace, which containers often forbid; test it once.
  if [ -z "${ASAN_OPTIONS:-}" ]; then
    probe=$(mktemp -d)
    echo 'int main(void){return 0;}' >"$probe/p.c"
    if cc -fsanitize=address "$probe/p.c" -o "$probe/p" 2>/dev/null &&
       "$probe/p" >/dev/null 2>&1; then
      export ASAN_OPTIONS=detect_leaks=1
    else
      echo "test.sh: LeakSanitizer cannot run here; leak checks are off"
      export ASAN_OPTIONS=detect_leaks=0
    fi
    rm -rf "$probe"
  fi
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  # Under the sanitizer runtime, dlopen("libcades.so") from the controller
  # does not find the library through the caller's RUNPATH (seen with GCC
  # 12's ASan), so the runtime the plug-in loads by name is named here.
  export LD_LIBRARY_PATH="$PWD/$dir/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
else
  dir=${TAVRIX_BUILD_DIR:-build}
  cmake -S . -B "$dir" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

cmake --build "$dir" -j2
ctest --test-dir "$dir" --output-on-failure -j2
