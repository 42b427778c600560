#!/bin/sh
# The packet layer, the transaction engine, the trace and the locks allocate
# nothing: their object files must not refer to any allocation routine.
# Usage: check_no_allocation.sh OBJECT...
found=$(nm -u "$@" | grep -E ' (malloc|calloc|realloc|free|strdup|posix_memalign|aligned_alloc|_Znw[a-zA-Z_]*|_Zna[a-zA-Z_]*)$')
if [ -n "$found" ]; then
    echo "allocation routines referenced:"
    echo "$found"
    exit 1
fi
echo "no allocation routine referenced"
