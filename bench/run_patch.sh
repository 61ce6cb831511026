#!/usr/bin/env bash
# Patch benchmark: our binary patches against xdelta3 and bsdiff on one
# synthetic game update (bench/patch/gen_update.cpp): patch size and apply
# throughput (MB of new content per second). Peers work per file, as they
# must: xdelta3 -9 with a source window covering each file, bsdiff/bspatch.
# Needs QX_BUILD (a Release build with QX_BENCH=ON), xdelta3, bsdiff, bspatch.
set -euo pipefail
QX_BUILD=${QX_BUILD:?set QX_BUILD to a build folder}
RUNS=${QX_BENCH_RUNS:-3}
author="$QX_BUILD/bin/qxauthor"
gen="$QX_BUILD/bin/qx_bench_patch_gen"
for tool in "$author" "$gen"; do [ -x "$tool" ] || { echo "missing $tool (build with -DQX_BENCH=ON)" >&2; exit 2; }; done
for tool in xdelta3 bsdiff bspatch; do command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 2; }; done

work=$(mktemp -d "${TMPDIR:-/tmp}/qx-bench-patch.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$gen" "$work" >/dev/null
old="$work/old"; new="$work/new"

now() { date +%s.%N; }
mb() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1e6 }'; }
size_of() { stat -c %s "$1"; }
# median and spread of the numbers on stdin
stats() { sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
  printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'; }

# Files that have new content: modified or added (the work an apply does).
changed=()
new_bytes=0
while IFS= read -r -d '' f; do
  rel=${f#"$new/"}
  if [ ! -f "$old/$rel" ] || ! cmp -s "$old/$rel" "$f"; then
    changed+=("$rel")
    new_bytes=$((new_bytes + $(size_of "$f")))
  fi
done < <(find "$new" -type f -print0 | sort -z)

# --- ours -----------------------------------------------------------------
t0=$(now)
"$author" rtpatch --quiet "$old" "$new" "$work/ours.rtp"
ours_build=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')
ours_size=$(size_of "$work/ours.rtp")

ours_times=(); ours_rss=()
for run in $(seq "$RUNS"); do
  rm -rf "$work/target"; cp -a "$old" "$work/target"; sync
  out=$("$author" apply --stats "$work/ours.rtp" "$work/target")
  ours_times+=("$(awk '/^seconds/ { print $2 }' <<<"$out")")
  ours_rss+=("$(awk '/^peak-rss-kib/ { print $2 }' <<<"$out")")
  diff -r "$work/target" "$new" >/dev/null || { echo "ours: applied tree differs from the new tree" >&2; exit 1; }
done

# --- peers, per file --------------------------------------------------------
mkdir -p "$work/xd" "$work/bs" "$work/out"
printf "\n" > "$work/empty"  # bsdiff cannot map an empty file: added files diff against one byte
xd_size=0; bs_size=0
for rel in "${changed[@]}"; do
  key=${rel//\//_}
  src="$old/$rel"; [ -f "$src" ] || src="$work/empty"
  window=1048576
  while [ "$window" -lt "$(size_of "$src")" ]; do window=$((window * 2)); done
  xdelta3 -e -9 -f -B "$window" -s "$src" "$new/$rel" "$work/xd/$key"
  bsdiff "$src" "$new/$rel" "$work/bs/$key"
  xd_size=$((xd_size + $(size_of "$work/xd/$key")))
  bs_size=$((bs_size + $(size_of "$work/bs/$key")))
done

apply_peer() {  # $1: xdelta3 or bspatch; prints seconds
  local t0 rel key src
  rm -rf "$work/out"; mkdir -p "$work/out"; sync
  t0=$(now)
  for rel in "${changed[@]}"; do
    key=${rel//\//_}
    src="$old/$rel"; [ -f "$src" ] || src="$work/empty"
    if [ "$1" = xdelta3 ]; then
      xdelta3 -d -f -s "$src" "$work/xd/$key" "$work/out/$key"
    else
      bspatch "$src" "$work/out/$key" "$work/bs/$key"
    fi
  done
  awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.4f", b - a }'
  for rel in "${changed[@]}"; do
    cmp -s "$work/out/${rel//\//_}" "$new/$rel" || { echo "$1: wrong output for $rel" >&2; exit 1; }
  done
}
xd_times=(); bs_times=()
for run in $(seq "$RUNS"); do
  xd_times+=("$(apply_peer xdelta3)")
  bs_times+=("$(apply_peer bspatch)")
done

read -r ours_t ours_lo ours_hi < <(printf '%s\n' "${ours_times[@]}" | stats)
read -r xd_t xd_lo xd_hi < <(printf '%s\n' "${xd_times[@]}" | stats)
read -r bs_t bs_lo bs_hi < <(printf '%s\n' "${bs_times[@]}" | stats)
read -r rss _ rss_hi < <(printf '%s\n' "${ours_rss[@]}" | stats)

rate() { awk -v b="$new_bytes" -v t="$1" 'BEGIN { printf "%.1f", b / 1e6 / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ours_rate=$(rate "$ours_t"); xd_rate=$(rate "$xd_t"); bs_rate=$(rate "$bs_t")
echo "bench: patch-apply-vs-xdelta3: ours $ours_rate MB/s, xdelta3 $xd_rate MB/s, ratio $(ratio "$ours_rate" "$xd_rate")"
echo "bench: patch-size-vs-xdelta3: ours $(mb "$ours_size") MB, xdelta3 $(mb "$xd_size") MB, ratio $(ratio "$xd_size" "$ours_size")"
echo "bench: patch-size-vs-bsdiff: ours $(mb "$ours_size") MB, bsdiff $(mb "$bs_size") MB, ratio $(ratio "$bs_size" "$ours_size")"
echo "bench: patch-apply-vs-bspatch: ours $ours_rate MB/s, bspatch $bs_rate MB/s, ratio $(ratio "$ours_rate" "$bs_rate")"
echo "note: update of $(mb "$(du -sb "$old" | cut -f1)") MB old, $(mb "$new_bytes") MB of new content in ${#changed[@]} files; $RUNS runs each"
echo "note: apply seconds (median, min, max): ours $ours_t $ours_lo $ours_hi; xdelta3 $xd_t $xd_lo $xd_hi; bspatch $bs_t $bs_lo $bs_hi"
echo "note: our apply peak memory $(awk -v k="$rss_hi" 'BEGIN { printf "%.1f", k / 1024 }') MiB resident (max over runs); build took ${ours_build} s"
