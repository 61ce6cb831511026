#!/usr/bin/env bash
# Network benchmark, two comparisons, each run RUNS times (median, min, max):
#  - download-vs-curl: a MyThread_c::GetFile job (worker thread, the waiting
#    side running the patcher window and pumping its messages) against
#    "curl -o" of the same 512 MiB file from the same nginx on loopback;
#    fresh output files each time, the two alternating.
#  - md5-vs-md5sum: ComputeFileMD5 against md5sum on the same 1 GiB file
#    (read from the page cache after a first warm-up read by each).
# Needs QX_BUILD (a Release build with QX_BENCH=ON), nginx, curl, md5sum.
set -euo pipefail
QX_BUILD=${QX_BUILD:?set QX_BUILD to a build folder}
RUNS=${QX_BENCH_RUNS:-5}
DOWNLOAD_MIB=${QX_BENCH_DOWNLOAD_MIB:-512}
MD5_MIB=${QX_BENCH_MD5_MIB:-1024}
prog="$QX_BUILD/bin/qx_bench_net"
[ -x "$prog" ] || { echo "missing $prog (build with -DQX_BENCH=ON)" >&2; exit 2; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "missing nginx" >&2; exit 2; }
for tool in curl md5sum; do command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 2; }; done

work=$(mktemp -d "${TMPDIR:-/tmp}/qx-bench-net.XXXXXX")
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
stats() { sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
  printf "%.4f %.4f %.4f\n", m, v[1], v[NR] }'; }
rate() { awk -v mib="$1" -v t="$2" 'BEGIN { printf "%.1f", mib * 1.048576 / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# report NAME PEER MIB WHAT: the bench line and its note from the ours/peer times.
report() {
  local o_t o_lo o_hi p_t p_lo p_hi o_rate p_rate
  read -r o_t o_lo o_hi < <(printf '%s\n' "${ours[@]}" | stats)
  read -r p_t p_lo p_hi < <(printf '%s\n' "${peer[@]}" | stats)
  o_rate=$(rate "$3" "$o_t"); p_rate=$(rate "$3" "$p_t")
  echo "bench: $1: ours $o_rate MB/s, $2 $p_rate MB/s, ratio $(ratio "$o_rate" "$p_rate")"
  echo "note: $3 MiB $4, $RUNS runs; seconds (median, min, max): ours $o_t $o_lo $o_hi; $2 $p_t $p_lo $p_hi"
}

# --- nginx on a free loopback port, serving $work/site ---------------------
mkdir -p "$work/site" "$work/nginx/logs" "$work/out"
head -c $((DOWNLOAD_MIB * 1048576)) /dev/urandom > "$work/site/big.rtp"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_line=""; [ "$(id -u)" = 0 ] && user_line="user root;"
cat > "$work/nginx/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/nginx/tmp; proxy_temp_path $work/nginx/tmp; fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp; scgi_temp_path $work/nginx/tmp;
  server { listen 127.0.0.1:$port; root $work/site; }
}
CONF
mkdir -p "$work/nginx/tmp"
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>"$work/nginx/logs/start.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.05
done

# --- download-vs-curl --------------------------------------------------------
cat "$work/site/big.rtp" > /dev/null  # the served file in the page cache for both
ours=(); peer=()
for run in $(seq "$RUNS"); do
  rm -f "$work/out/ours.rtp" "$work/out/curl.rtp"
  ours+=("$("$prog" download 127.0.0.1 "$port" big.rtp "$work/out/ours.rtp")")
  cmp -s "$work/out/ours.rtp" "$work/site/big.rtp" || { echo "ours: downloaded file differs" >&2; exit 1; }
  rm -f "$work/out/ours.rtp"
  peer+=("$(curl -s -o "$work/out/curl.rtp" -w '%{time_total}' "http://127.0.0.1:$port/big.rtp")")
  cmp -s "$work/out/curl.rtp" "$work/site/big.rtp" || { echo "curl: downloaded file differs" >&2; exit 1; }
  rm -f "$work/out/curl.rtp"
done
report download-vs-curl curl "$DOWNLOAD_MIB" "over loopback from nginx"
rm -f "$work/site/big.rtp"

# --- md5-vs-md5sum -------------------------------------------------------------
head -c $((MD5_MIB * 1048576)) /dev/urandom > "$work/big.bin"
expected=$(md5sum "$work/big.bin" | cut -d' ' -f1)  # also warms the page cache
ours=(); peer=()
for run in $(seq "$RUNS"); do
  read -r digest seconds < <("$prog" md5 "$work/big.bin")
  [ "$digest" = "$expected" ] || { echo "ours: digest $digest, md5sum $expected" >&2; exit 1; }
  ours+=("$seconds")
  t0=$(now)
  md5sum "$work/big.bin" > /dev/null
  peer+=("$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.4f", b - a }')")
done
report md5-vs-md5sum md5sum "$MD5_MIB" "from the page cache"
