#!/usr/bin/env bash
# Sets up and builds T-Forge, then runs its main job headless on the built-in simulated probe:
# production programming of the example (examples/counter) with serial number, verify and start,
# ending with the result line and the time taken. Each run programs the next serial number.
# With arguments, runs T-Forge with those instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$PWD/build/home/config}
export XDG_STATE_HOME=${XDG_STATE_HOME:-$PWD/build/home/state}
if [ $# -gt 0 ]; then
  # -exit comes last: the actions after it would not run.
  exec build/bin/tforge -hide "$@" -exit
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
set +e
build/bin/tforge -hide -openprj"$PWD/build/examples/counter/counter.tforge" -auto -exit | tee "$log"
status=${PIPESTATUS[0]}
set -e
echo
grep -E "^T-Forge .*(Completed after|Error)" "$log" | tail -1 || true
echo "Next serial number: $(cat build/examples/counter/counter_Serial.txt 2>/dev/null || echo 1)"
exit "$status"
