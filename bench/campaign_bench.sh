#!/usr/bin/env bash
# A campaign against qelsms-sandbox on loopback: COUNT numbers sent in
# batches of BATCH with a journal, against the same list in one bulk call, and
# a dry run over the list; wall time, numbers per second and peak RSS (from
# /usr/bin/time -v) of the qelsms process.
#   bench/campaign_bench.sh [BUILD_DIR] [COUNT] [BATCH]
set -euo pipefail

build=${1:-build/release}
count=${2:-1000000}
batch=${3:-1000}
cli="$build/tools/qelsms"
sandbox="$build/sandbox/qelsms-sandbox"
[[ -x $cli && -x $sandbox ]] || { echo "build $cli and $sandbox first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }

work=$(mktemp -d)
sandbox_pid=
cleanup() {
  [[ -n $sandbox_pid ]] && kill "$sandbox_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

seq 97400000000 $((97400000000 + count - 1)) > "$work/numbers.txt"
"$sandbox" --port 0 --write-ca "$work/ca.pem" --account "bench:bench-password:100000000000" \
  > "$work/sandbox.out" 2> "$work/sandbox.err" &
sandbox_pid=$!
for _ in $(seq 100); do [[ -s $work/sandbox.out ]] && break; sleep 0.1; done
url=$(head -n1 "$work/sandbox.out")
root=${url%api/}sandbox/

export QELSMS_USER=bench QELSMS_PASSWORD=bench-password
common=(--base-url "$url" --cacert "$work/ca.pem" --timeout 600)

# Runs qelsms under /usr/bin/time; prints "seconds max-rss-KiB exit-status".
measure() {
  local status=0
  /usr/bin/time -v -o "$work/time" "$cli" "${common[@]}" "$@" > "$work/out" 2> "$work/err" || status=$?
  local wall rss
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time" |
    awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
  echo "$wall $rss $status"
}

delivered() {
  curl -s --cacert "$work/ca.pem" "${root}messages" |
    python3 -c 'import json, sys; print(sum(len(m["recipients"]) for m in json.load(sys.stdin)["messages"]))'
}

row() {  # name seconds rss status
  local rate
  rate=$(awk -v n="$count" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }')
  printf '| %s | %s | %s | %s | %s MiB | %s |\n' "$1" "$count" "$2" "$rate" "$(awk -v k="$3" 'BEGIN { printf "%.1f", k / 1024 }')" "$4"
}

echo "| Run | Numbers | Seconds | Numbers/s | Peak RSS | Exit |"
echo "|---|---|---|---|---|---|"

read -r s k st < <(measure bulk --sender Bench -m "Campaign benchmark" --numbers-file "$work/numbers.txt" \
  --dry-run --batch-size "$batch")
row "dry run" "$s" "$k" "$st"

read -r s k st < <(measure bulk --sender Bench -m "Campaign benchmark" --numbers-file "$work/numbers.txt" \
  --dry-run --batch-size "$batch" --region QA)
row "dry run, --region QA" "$s" "$k" "$st"

curl -s -X POST --cacert "$work/ca.pem" "${root}reset" > /dev/null
read -r s k st < <(measure bulk --sender Bench -m "Campaign benchmark" --numbers-file "$work/numbers.txt" \
  --batch-size "$batch")
row "campaign, batch $batch, no journal" "$s" "$k" "$st"
echo "<!-- campaign delivered $(delivered) numbers -->"

curl -s -X POST --cacert "$work/ca.pem" "${root}reset" > /dev/null
read -r s k st < <(measure bulk --sender Bench -m "Campaign benchmark" --numbers-file "$work/numbers.txt" \
  --batch-size "$batch" --journal "$work/journal.db")
row "campaign, batch $batch, journal" "$s" "$k" "$st"
echo "<!-- campaign delivered $(delivered) numbers -->"

curl -s -X POST --cacert "$work/ca.pem" "${root}reset" > /dev/null
read -r s k st < <(measure bulk --sender Bench -m "Campaign benchmark" --numbers-file "$work/numbers.txt")
row "one bulk call" "$s" "$k" "$st"
echo "<!-- one call delivered $(delivered) numbers -->"
