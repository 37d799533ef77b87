#!/usr/bin/env bash
# Checks that every C++ file git tracks is laid out as .clang-format says (clang-format 14, as
# Debian 12 ships it); non-zero, naming the files, when one is not. To fix: the same list with -i.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror
echo "check-format.sh: every C++ file is formatted"
