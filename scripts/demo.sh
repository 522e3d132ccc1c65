#!/usr/bin/env bash
# Runs the demo: builds a sample securities catalogue, ingests it, builds the
# matcher, runs find / filter / get, saves and loads a snapshot, with timings.
#
# Usage: scripts/demo.sh [--n RECORDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
exec .venv/bin/python examples/demo.py "$@"
