#!/bin/bash
# check_no_heap.sh <nm> <object>...
#
# Fails when an object file of the tool's own code refers to a heap allocation function or to
# the exception machinery: the tool works in fixed-size buffers and reports through results.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 <nm> <object>..." >&2
    exit 2
fi
nm=$1
shift
forbidden='^_?(malloc|calloc|realloc|free|aligned_alloc|posix_memalign|strdup|strndup|_Znw.*|_Zna.*|_Zdl.*|_Zda.*|__cxa_allocate_exception|__cxa_throw)$'
status=0
for object in "$@"; do
    found=$("$nm" -u "$object" | awk '{print $NF}' | grep -E "$forbidden" || true)
    if [ -n "$found" ]; then
        echo "FAIL: $(basename "$object") refers to: $(echo $found)"
        status=1
    fi
done
[ $status -eq 0 ] && echo "no heap allocation or exception in $# object files"
exit $status
