#!/usr/bin/env bash
# Builds the NTFS volumes (needs root) into tests/fixtures (tools/README.md). Usage: tools/build_ntfs_fixtures.sh [IMAGE...]
exec "$(dirname "$0")/fixture.sh" build "${@:-ntfs}"
