#!/usr/bin/env bash
# Every shell script in scripts/ (the Python ones aside) and every bench/*/run-* script (with
# the files they source) passes shellcheck.
# Usage: shellcheck_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
scripts=()
while IFS= read -r f; do scripts+=("$f"); done < <({ find scripts -type f ! -name '*.py'; find bench -type f -name 'run-*'; } | sort)
echo "shellcheck: ${scripts[*]}"
shellcheck -x "${scripts[@]}"
