#!/usr/bin/env bash
# The line bench: eight meters due all the time on one line, read by the built plug-in through
# hostsim, once on a line paced like a real one (1200 baud 8N2, each meter answering 50 ms after
# a request) and once with meters that answer at once. It prints hostsim's line figures and, for
# the paced line, how close the line came to what its exchanges allow: each exchange keeps the
# line quiet for the meter's latency, so with the host turning it round at once the line is busy
# for W / (W + latency) of the time, W the exchange's own wire time (request and reply). Targets:
# turnaround median under 5 ms, 99th percentile under 20 ms, busy share at least 95% of that.
# A benchmark, never a test: the figures depend on the machine and what else it does.
#
# usage: bench/line_use_bench.sh [TREE] [SECONDS]   TREE: build/win64 (default) or build/win32
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
tree="$(cd "${1:-$top/build/win64}" && pwd)"
seconds="${2:-60}"
latency_ms=50
bin="$tree/bin"
for file in hostsim.exe kmpparser.dll; do
    [ -f "$bin/$file" ] || { echo "line bench: $bin/$file not built" >&2; exit 1; }
done
work="$(mktemp -d "$bin/line_bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
name="$(basename "$work")"

# Eight meters, one eight-register request each, polled every second: a line carries about one
# such exchange a second, so every meter is always due. The deadline leaves room for a reply.
{
    printf '<?xml version="1.0"?>\r\n<QUERY>\r\n<Request caption="Heat"><Enabled check="2"/>'
    printf '<Device>1;2;3;4;5;6;7;8</Device><Timeout>2000</Timeout><RequestMethod>'
    printf '<MethodPoll check="2"><PollInterval>1</PollInterval><PollUnits>S</PollUnits>'
    printf '</MethodPoll></RequestMethod><Response>'
    for reg in 003C 0044 03EB 03EA 0056 0057 004A 0050; do
        printf '<Item><Register>%s</Register></Item>' "$reg"
    done
    printf '</Response></Request>\r\n</QUERY>\r\n'
} >"$work/eight.xml"

run_line() {
    local label="$1" connection="$2" status=0
    (cd "$bin" && "$top/scripts/wine-run" ./hostsim.exe --dll kmpparser.dll run \
        --config "$name\\eight.xml" --seconds "$seconds" --json "$name\\$label.jsonl" \
        --port "L1=$connection" >"$work/$label.out" 2>"$work/$label.err" </dev/null) || status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
        echo "line bench: the $label run failed (exit $status)" >&2
        tail -n 5 "$work/$label.err" >&2
        return 1
    fi
    grep '^line L1:' "$work/$label.out" | sed "s/^/$label: /"
    grep '^summary:' "$work/$label.out" | sed "s/^/$label: /"
}

run_line unpaced "sim:1,2,3,4,5,6,7,8"
run_line paced "sim:1,2,3,4,5,6,7,8,baud=1200,latency=$latency_ms"

# The paced line against what its exchanges allow, from the run's own JSON line and summary.
python3 - "$work/paced.jsonl" "$work/paced.out" "$latency_ms" <<'EOF'
import json, re, sys
use = None
for line in open(sys.argv[1], encoding="utf-8"):
    document = json.loads(line)
    if "line_use" in document:
        use = document["line_use"]
writes = int(re.search(r"^summary: writes=(\d+)", open(sys.argv[2]).read(), re.M).group(1))
latency = float(sys.argv[3])
if use is None or writes == 0:
    sys.exit("line bench: the paced run wrote no line figures")
wire = use["busy_ms"] / writes  # one exchange's own wire time
allowed = wire / (wire + latency)
share = use["busy_share"]
print(f"paced: exchanges {writes}, wire time {wire:.1f} ms each, line allows {allowed * 100:.1f}% "
      f"busy, measured {share * 100:.1f}% = {share / allowed * 100:.1f}% of it (target >= 95%)")
print(f"paced: turnaround median {use['turnaround_median_ms']} ms (target < 5), 99th percentile "
      f"{use['turnaround_p99_ms']} ms (target < 20), max {use['turnaround_max_ms']} ms, "
      f"over {use['turnarounds']} replies")
EOF
