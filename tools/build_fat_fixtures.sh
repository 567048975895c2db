#!/usr/bin/env bash
# Builds the unpartitioned FAT volumes into tests/fixtures (tools/README.md). Usage: tools/build_fat_fixtures.sh [IMAGE...]
exec "$(dirname "$0")/fixture.sh" build "${@:-fat}"
