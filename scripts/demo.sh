#!/bin/bash
# Installs what is needed, builds, and shows what the plug-in finds on this
# machine. The browser page demo comes with the NPAPI layer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIX_BUILD_BENCH=OFF
cmake --build build -j2 --target npTavrix tavrix-check

echo
echo "== tavrix-check =="
./build/bin/tavrix-check
echo
echo "Built: build/lib/npTavrix.so"
echo "The page demo (a browser calling the plug-in) comes with the NPAPI layer."
