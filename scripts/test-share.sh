#!/usr/bin/env bash
# Size of the test suite against the product: non-blank C++ lines (*.cpp, *.h) that are not
# "//" comments, in the files git tracks. bench/ and fuzz/ count as neither.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | grep -E '\.(cpp|h)$' | xargs -r cat | grep -Ev '^\s*(//.*)?$' | wc -l; }
tests=$(count tests)
product=$(count app processing geo metadata coordfile cli common)
echo "tests: $tests lines, product: $product lines, share: $(awk "BEGIN { printf \"%.1f\", 100 * $tests / $product }") %"
