#!/usr/bin/env bash
# The library links into a kernel image without any C or C++ runtime: no dynamic
# initialisers, no exception or RTTI machinery, no operator new/delete, no libc calls
# beyond the memory primitives the kernel exports itself.
set -euo pipefail
archive=$1
undefined=$(nm -u "$archive" | awk '{print $2}' | sort -u)
bad=$(printf '%s\n' "$undefined" | grep -E '^(_Zn|_Zd|__cxa_|__gxx_personality|_Unwind_|_ZTI|_ZTV|__dynamic_cast|malloc|free|printf|puts|abort|__stack_chk)' || true)
inits=$(nm "$archive" | grep -E '_GLOBAL__sub_I|_GLOBAL__D_' || true)
status=0
if [ -n "$bad" ]; then echo "runtime symbols needed by the library:"; echo "$bad"; status=1; fi
if [ -n "$inits" ]; then echo "dynamic initialisation in the library:"; echo "$inits"; status=1; fi
[ $status -eq 0 ] && echo "library is freestanding: $(printf '%s\n' "$undefined" | grep -c .) external symbols, all kernel, HAL or memory primitives"
exit $status
