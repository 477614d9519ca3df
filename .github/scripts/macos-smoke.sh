#!/usr/bin/env bash
# Runs the built binary against the real platform of a macOS machine and compares each run's
# standard output and exit status exactly. Usage: macos-smoke.sh <path to Velmuro executable>
set -u

binary=${1:?usage: macos-smoke.sh <path to Velmuro.app/Contents/MacOS/Velmuro>}
failures=0

# Runs the binary with the given arguments, standard input closed, on the real platform.
# Sets output (every byte written to standard output) and status.
run() {
  output=$("$binary" "$@" </dev/null; printf 'x%d' "$?")
  status=${output##*x}
  output=${output%x*}
}

# check <description> <expected status> <allowed line>...: passes when the status matches and
# the output is exactly one of the allowed lines followed by one newline.
check() {
  local description=$1 expected_status=$2
  shift 2
  local line matched=0
  for line in "$@"; do
    if [[ "$output" == "$line"$'\n' ]]; then matched=1; fi
  done
  if [[ $matched -eq 1 && "$status" == "$expected_status" ]]; then
    echo "ok: $description"
  else
    echo "FAIL: $description"
    echo "  exit status: $status (expected $expected_status)"
    printf '  output: %q\n' "$output"
    failures=$((failures + 1))
  fi
}

run check-audio-permission
check "check-audio-permission prints one of the four words" 0 \
  '{"status":"granted"}' '{"status":"denied"}' '{"status":"undetermined"}' '{"status":"unknown"}'

run velmuro-no-such-process-xyz
check "muting a process that does not exist fails" 1 \
  '{"error":"velmuro-no-such-process-xyz audio process not found. Make sure it is running and playing audio."}'

run ax-tab-addresses com.example.nosuchbrowser
check "ax-tab-addresses of a browser that does not run" 0 \
  '{"status":"untrusted"}' '{"status":"not-running"}'

# A runner has no Zoom (and is seldom trusted): the reader ends before it touches the pasteboard.
run ax-zoom-invite-link invite
check "ax-zoom-invite-link without Zoom" 0 \
  '{"status":"untrusted"}' '{"status":"not-running"}'

if [[ $failures -ne 0 ]]; then
  echo "$failures smoke check(s) failed"
  exit 1
fi
echo "all smoke checks passed"
