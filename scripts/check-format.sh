#!/usr/bin/env bash
# Every C++ file of the tree follows .clang-format; lists those that do not and fails.
# Fix them with: clang-format -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
    echo "check-format: clang-format is missing" >&2
    exit 1
fi
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
    'tools/*.cpp' 'tools/*.h' 'bench/*.cpp' 'bench/*.h')
unformatted=()
for file in "${files[@]}"; do
    if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
        unformatted+=("$file")
    fi
done
if [ ${#unformatted[@]} -gt 0 ]; then
    printf '%s\n' "${unformatted[@]}" >&2
    echo "check-format: ${#unformatted[@]} files do not follow .clang-format (above)" >&2
    exit 1
fi
echo "check-format: ok (${#files[@]} files)"
