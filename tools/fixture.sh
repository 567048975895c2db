#!/usr/bin/env bash
# The one entry to the fixture package (tools/velkfx): builds images, inspects them,
# cuts fuzz seeds. `tools/fixture.sh --help` lists the commands.
#
#   tools/fixture.sh build [GROUP|IMAGE ...]     FX_OUT=dir, FX_KEEP=1 as in tools/README.md
#
# Pillow comes from python3-pil, so the system interpreter runs it (FX_PY overrides).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export PYTHONPATH="$here${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
exec "${FX_PY:-/usr/bin/python3}" -m velkfx "$@"
