#!/usr/bin/env bash
# Builds lznt1_ntfs3g_unit.bin (needs root) into tests/fixtures (tools/README.md). Usage: tools/build_lznt1_sample.sh [IMAGE...]
exec "$(dirname "$0")/fixture.sh" build "${@:-lznt1}"
