#!/usr/bin/env bash
# Builds raw_carve into tests/fixtures (tools/README.md). Usage: tools/build_raw_fixture.sh [IMAGE...]
exec "$(dirname "$0")/fixture.sh" build "${@:-raw}"
