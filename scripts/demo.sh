#!/usr/bin/env bash
# The main job: builds the module actiontool runs (and not the test suites), imports the
# example action set into an action file and prints its listing with actiontool.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/progress.sh
scripts/setup.sh
echo "== building (build/)"
build_with_progress --target actiontool_module
echo "== actiontool import examples/actions.json build/example_actions.gz"
build/actiontool import examples/actions.json build/example_actions.gz
echo "== actiontool dump build/example_actions.gz"
build/actiontool dump build/example_actions.gz
