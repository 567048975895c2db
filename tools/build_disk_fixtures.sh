#!/usr/bin/env bash
# Builds the partitioned disks (needs root) into tests/fixtures (tools/README.md). Usage: tools/build_disk_fixtures.sh [IMAGE...]
exec "$(dirname "$0")/fixture.sh" build "${@:-disk}"
