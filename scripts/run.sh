#!/usr/bin/env bash
# Sets up and builds T-Forge, then runs its main job headless on the built-in simulated probe.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$PWD/build/home/config}
export XDG_STATE_HOME=${XDG_STATE_HOME:-$PWD/build/home/state}
exec build/bin/tforge -hide -exit "$@"
