#!/usr/bin/env bash
# Record engine benchmark: our block database (BlockDatabase_t over the record
# engine) against SQLite and LMDB on one resource-database workload
# (bench/engine/engine_bench.cpp): 100,000 records over five types, blobs from
# 16 B to 64 KiB (median about 1 KiB), each stored by an individual call; random
# reads of present keys; a walk over all records in key order.
# Peers: SQLite with a (type, instance) primary key, WAL, synchronous=OFF and a
# prepared INSERT OR REPLACE per record; LMDB with MDB_NOSYNC and one write
# transaction per record.
# Each store runs QX_BENCH_RUNS times (default 3) in a fresh folder, stores taking
# turns; the lines give the median rate, the notes below them the spread.
# Needs QX_BUILD (a Release build with QX_BENCH=ON).
set -euo pipefail
QX_BUILD=${QX_BUILD:?set QX_BUILD to a build folder}
RUNS=${QX_BENCH_RUNS:-3}
RECORDS=${QX_BENCH_RECORDS:-100000}
bench="$QX_BUILD/bin/qx_bench_engine"
[ -x "$bench" ] || { echo "missing $bench (build with -DQX_BENCH=ON)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qx-bench-engine.XXXXXX")
trap 'rm -rf "$work"' EXIT

declare -A rates  # rates[store.phase] = space-separated list of ops/s
for run in $(seq "$RUNS"); do
  for store in ours sqlite lmdb; do
    out=$("$bench" "$store" "$work/$store-$run" "$RECORDS")
    rm -rf "${work:?}/$store-$run"
    for phase in put get walk; do
      rates[$store.$phase]+="$(awk -v p="$phase" '$1 == p { print $2 }' <<<"$out") "
    done
  done
done

# median, min, max of the numbers given
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END {
  m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.0f %.0f %.0f\n", m, v[1], v[NR] }'; }

line() {  # name phase peer goal
  local name=$1 phase=$2 peer=$3 goal=$4
  read -r ours ours_min ours_max < <(stats "${rates[ours.$phase]}")
  read -r theirs theirs_min theirs_max < <(stats "${rates[$peer.$phase]}")
  ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')
  echo "bench: $name: ours $ours ops/s, $peer $theirs ops/s, ratio $ratio"
  echo "  # $RUNS runs: ours $ours_min..$ours_max, $peer $theirs_min..$theirs_max ops/s; goal ratio >= $goal"
}

line engine-put-vs-sqlite put sqlite 1.5
line engine-get-vs-sqlite get sqlite 1.0
line engine-get-vs-lmdb get lmdb 0.5
line engine-walk-vs-sqlite walk sqlite 1.0
