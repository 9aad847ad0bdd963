# Shared pieces of the benchmark scripts (sourced). A measurement is honest
# or it is not printed: the answer's status and body are checked before and
# after, and a run with non-2xx answers or socket errors is a failure, shown
# as such and counted in bench_failures (the scripts exit non-zero on it).

bench_failures=0

# Installs the benchmark packages and builds TARGET (default: the program) in
# the Release tree build/bench; sets build, and binary to the program.
build_release() {
  "$root/scripts/install-deps" bench
  build="$root/build/bench"
  # The program as the run command builds it, trained on its profile.
  "$root/scripts/build-release" "$build" -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null
  cmake --build "$build" --target "${1:-teskqvel}" >/dev/null
  binary="$build/shell/teskqvel"
}

# Processes a script starts go into pids; stop_all ends every one of them.
pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# The process and all its descendants.
process_tree() {
  local p=$1 c
  echo "$p"
  for c in $(pgrep -P "$p" 2>/dev/null); do process_tree "$c"; done
}

# CPU ticks (user + system) used so far by the processes given.
cpu_ticks() {
  local total=0 p t
  for p in "$@"; do
    t=$(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0)
    total=$((total + t))
  done
  echo "$total"
}

thread_count() {
  ls "/proc/$1/task" 2>/dev/null | wc -l
}

# check URL FILE [curl options...]: status 200 and exactly the file's bytes.
check_answer() {
  local url=$1 file=$2
  shift 2
  local got status
  got=$(mktemp)
  status=$(curl -sk -o "$got" -w '%{http_code}' "$@" "$url" 2>/dev/null)
  [ -n "$status" ] || status=000
  if [ "$status" != 200 ] || ! cmp -s "$got" "$file"; then
    echo "check failed: $url answered $status ($(stat -c %s "$got") bytes, expected $(stat -c %s "$file"))" >&2
    rm -f "$got"
    return 1
  fi
  rm -f "$got"
}

# measure LABEL URL FILE PID CLIENT_CORES THREADS CONNECTIONS SECONDS [wrk options...]
# Sets m_rate, m_us (CPU µs per request), m_sys (system calls per request),
# m_ok (1 or 0) and prints nothing; m_error holds why a measurement failed.
measure() {
  local label=$1 url=$2 file=$3 pid=$4 ccores=$5 threads=$6 conns=$7 secs=$8
  shift 8
  m_rate=0 m_us=0 m_sys=0 m_ok=0 m_error=""
  local curl_opts=()
  for o in "$@"; do
    case "$o" in
      Accept-Encoding:*) curl_opts+=(--compressed) ;;
    esac
  done
  if ! kill -0 "$pid" 2>/dev/null; then m_error="$label: server not running"; return; fi
  if ! check_answer "$url" "$file" "${curl_opts[@]}"; then m_error="$label: wrong answer before"; return; fi
  taskset -c "$ccores" wrk --timeout 10s -t"$threads" -c"$conns" -d1s "$@" "$url" >/dev/null 2>&1 || true
  local pids out perf_out t0 t1
  pids=$(process_tree "$pid" | paste -sd, -)
  out=$(mktemp) perf_out=$(mktemp)
  t0=$(cpu_ticks ${pids//,/ })
  perf stat -x, -e raw_syscalls:sys_enter -p "$pids" -o "$perf_out" -- sleep "$secs" >/dev/null 2>&1 &
  local perf_pid=$!
  taskset -c "$ccores" wrk --timeout 10s -t"$threads" -c"$conns" -d"${secs}s" "$@" "$url" >"$out" 2>&1 || true
  wait "$perf_pid" 2>/dev/null || true
  t1=$(cpu_ticks ${pids//,/ })
  local requests non2xx sockerr syscalls
  requests=$(awk '/requests in/ { print $1 }' "$out")
  non2xx=$(awk '/Non-2xx/ { print $NF }' "$out")
  sockerr=$(awk '/Socket errors/ { gsub(",", ""); print $4 + $6 + $8 + $10 }' "$out")
  syscalls=$(awk -F, '/raw_syscalls/ { print $1 }' "$perf_out")
  local wrk_text
  wrk_text=$(cat "$out")
  rm -f "$out" "$perf_out"
  if ! kill -0 "$pid" 2>/dev/null; then m_error="$label: server died"; return; fi
  if [ -z "$requests" ] || [ "$requests" = 0 ]; then
    m_error="$label: no requests answered ($(grep -v '^ *$' <<<"$wrk_text" | tail -2 | paste -sd' ' -))"
    return
  fi
  if [ "${non2xx:-0}" != 0 ] || [ "${sockerr:-0}" != 0 ]; then
    m_error="$label: ${non2xx:-0} non-2xx answers, socket errors: $(grep "Socket errors" <<<"$wrk_text" | sed "s/.*: //")"
    return
  fi
  if ! check_answer "$url" "$file" "${curl_opts[@]}"; then m_error="$label: wrong answer after"; return; fi
  local hz
  hz=$(getconf CLK_TCK)
  m_rate=$(awk -v r="$requests" -v s="$secs" 'BEGIN { printf "%.0f", r / s }')
  m_us=$(awk -v t=$((t1 - t0)) -v hz="$hz" -v r="$requests" 'BEGIN { printf "%.1f", t * 1e6 / hz / r }')
  case "$syscalls" in
    ''|*[!0-9]*) m_sys="?" ;;
    *) m_sys=$(awk -v c="$syscalls" -v r="$requests" 'BEGIN { printf "%.1f", c / r }') ;;
  esac
  m_ok=1
}

# ratio A B: A / B, or "-" when either is not a rate.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'
}
