#!/usr/bin/env bash
# Sets up and builds T-Forge, then runs its main job headless on the built-in simulated probe:
# production programming of the example (examples/counter) with serial number, verify and start.
# Each run programs the next serial number. With arguments, runs T-Forge with those instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$PWD/build/home/config}
export XDG_STATE_HOME=${XDG_STATE_HOME:-$PWD/build/home/state}
if [ $# -eq 0 ]; then
  set -- -openprj"$PWD/build/examples/counter/counter.tforge" -auto
fi
# -exit comes last: the actions after it would not run.
exec build/bin/tforge -hide "$@" -exit
