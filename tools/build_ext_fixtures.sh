#!/usr/bin/env bash
# Builds the EXT volumes (needs root) into tests/fixtures (tools/README.md). Usage: tools/build_ext_fixtures.sh [IMAGE...]
exec "$(dirname "$0")/fixture.sh" build "${@:-ext}"
