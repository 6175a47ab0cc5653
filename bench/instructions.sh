#!/usr/bin/env bash
# Instructions per call of the floor and of the library for SQLite operations, counted by
# callgrind: unlike times, the counts do not move with the other work on the machine.
#   bench/instructions.sh [BENCH_BINARY] [OPERATION ...]
# Each row runs alone under valgrind; the count is what ByHand (floor) or ThroughApi (library)
# took in all, divided by the calls made.
set -euo pipefail
bench=${1:-build/bench/carvalen_bench}
shift || true
ops=("$@")
[ ${#ops[@]} -gt 0 ] || ops=(GetPrice GetDiscount GetContractLineNumber ContractHeaderExists
                            GetContractLineDetail GetActiveContractLines)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

per_call() {  # profile, function -> instructions per call
  callgrind_annotate --inclusive=yes --tree=calling "$1" 2>/dev/null |
    grep -E "^ *[0-9,]+ \([ 0-9.%]+\)  >   .*::$2\(" | head -1 |
    sed -E 's/^ *([0-9,]+) .*\(([0-9,]+)x\).*/\1 \2/' | tr -d , |
    awk '{ printf "%.1fk", $1 / $2 / 1000 }'
}

printf '%-26s %10s %10s %8s\n' operation Floor Carvalen ratio
for op in "${ops[@]}"; do
  suffix=/real_time
  [ "$op" = GetPrice ] && suffix=/real_time/threads:1
  counts=()
  for kind in Floor Carvalen; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$kind.$op" "$bench" \
      --benchmark_filter="^$kind/SQLite/$op$suffix\$" --benchmark_repetitions=1 \
      --benchmark_min_time=0.2 >/dev/null 2>&1
    fn=ByHand
    [ "$kind" = Carvalen ] && fn=ThroughApi
    counts+=("$(per_call "$out/$kind.$op" "$fn")")
  done
  ratio=$(awk -v f="${counts[0]%k}" -v c="${counts[1]%k}" 'BEGIN { printf "%.2fx", c / f }')
  printf '%-26s %10s %10s %8s\n' "$op" "${counts[0]}" "${counts[1]}" "$ratio"
done
