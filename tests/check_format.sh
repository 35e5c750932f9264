#!/bin/bash
# check_format.sh <source dir>
#
# The house layout is clang-format's output with the repository's .clang-format: fails on any
# C++ file under src/, tests/, tools/ or bench/ that clang-format would change.
set -eu
cd "$1"
# One major version of clang-format decides the layout: another one lays out some code otherwise.
major=14
clang_format=$(command -v clang-format-$major || command -v clang-format || true)
if [ -z "$clang_format" ]; then
    echo "FAIL: clang-format $major is not installed (Debian package clang-format-$major)"
    exit 1
fi
version=$("$clang_format" --version)
if ! [[ $version =~ version\ $major\. ]]; then
    echo "FAIL: the layout is clang-format $major's; $clang_format is: $version"
    echo "Install clang-format $major (Debian package clang-format-$major)."
    exit 1
fi
files=$(git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tools/*.cpp' 'tools/*.h' \
    'bench/*.cpp' 'bench/*.h' 2>/dev/null || find src tests tools bench -name '*.cpp' -o -name '*.h')
"$clang_format" --dry-run -Werror $files
echo "$(echo "$files" | wc -w) files in the house layout"
