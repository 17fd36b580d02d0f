#!/usr/bin/env bash
# Installs what building needs (apt), builds both programs into build-release/
# (quendravalt, the window, and quendravalt-cli) and starts the window when
# there is a display; arguments go to it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$here/build-release"

bash "$here/scripts/install-deps.sh"
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=Release -DQD_GUI=ON -DQD_TESTS=OFF -DQD_BENCH=OFF
cmake --build "$out" --target quendravalt quendravalt-cli -j "$(nproc)"
echo "run.sh: built $out/quendravalt and $out/quendravalt-cli"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display to show the window on; the command line works without one:" >&2
    echo "    $out/quendravalt-cli --help" >&2
    exit 0
fi
exec "$out/quendravalt" "$@"
