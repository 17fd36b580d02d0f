#!/usr/bin/env bash
# Installs what is missing, builds QuenDravalt (Release, in build-release/) and starts it.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build-release" -DCMAKE_BUILD_TYPE=Release -DQD_GUI=ON
cmake --build "$here/build-release" --target quendravalt -j "$(nproc)"

if [ -z "${DISPLAY:-}" ]; then
    echo "run.sh: built $here/build-release/quendravalt, but there is no display to show it on" >&2
    echo "(DISPLAY is not set). Run it from a desktop session, or in a virtual X server:" >&2
    echo "    xvfb-run -a -s '-screen 0 1280x1024x24' $here/build-release/quendravalt" >&2
    exit 1
fi
exec "$here/build-release/quendravalt" "$@"
