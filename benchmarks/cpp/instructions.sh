#!/usr/bin/env bash
# Instructions per byte of the engine workloads, counted by callgrind (repeatable where wall
# time is not). Only the engine's own calls are counted, not the document's generation: the
# outermost entry of each (a toggle nested in another would switch the count off).
# Usage: benchmarks/cpp/instructions.sh [BENCH_BUILD_DIR]   (default build/bench)
set -euo pipefail
bin="${1:-build/bench}/bench_engine"
flat=66138152      # bytes of the flat catalog (bench_engine prints it)
harness=134218141  # bytes of the 128 MB harness catalog
count() {  # name, bytes, bench_engine arguments...
  local name=$1 bytes=$2; shift 2
  local out; out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file=/dev/null \
    --toggle-collect='varnex::engine::run(*' \
    --toggle-collect='varnex::engine::validate(*unsigned int*' \
    --toggle-collect='varnex::engine::WithinPass::run(*' "$bin" "$@" 2>"$out" >/dev/null || true
  local ir; ir=$(grep -oE 'Collected : [0-9]+' "$out" | grep -oE '[0-9]+')
  rm -f "$out"
  awk -v n="$name" -v ir="$ir" -v b="$bytes" \
    'BEGIN { printf "%-44s %14.1fM  %6.2f instructions/byte\n", n, ir / 1e6, ir / b }'
}
count "count catalog.book.#" $flat 0 'catalog.book.#'
count "last record by @id" $flat 0 'catalog.book#(@id=="bk249999").title'
count "validate" $flat 0 validate
count "every title" $flat 0 'catalog.book.#.title'
count "catalog.book#(price>10)#.@id" $flat 0 'catalog.book#(price>10)#.@id'
count "**.tag|@count" $flat 0 '**.tag|@count'
count "**.title" $flat 0 '**.title'
count "catalog.book#(price>54)#.title" $flat 0 'catalog.book#(price>54)#.title'
count 'book#(tags.tag=="poetry")#.@id' $flat 0 'catalog.book#(tags.tag=="poetry")#.@id'
count 'book#(price>10 && @lang=="de")#.@id' $flat 0 'catalog.book#(price>10 && @lang=="de")#.@id'
count 'book#(tags#(tag==poetry || tag==drama) && !(genre==drama))#.@id' $flat 0 \
  'catalog.book#(tags#(tag==poetry || tag==drama) && !(genre==drama))#.@id'
count "record fields (@id, title, price, year)" $flat 0 'record fields'
count "eight paths, one pass (harness)" $harness 0 'eight paths, one pass'
