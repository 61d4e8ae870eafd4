#!/usr/bin/env bash
# The extension computes its elementary functions itself (exp, log, erfc,
# sin, cbrt and the rest, correctly rounded: tarvik/elementary.hpp), so that
# its results are the same bits whatever C library the machine has: the
# objects may call none of the C library's mathematics (a call left in by
# mistake would round as that library rounds). The C functions they do call
# (memcpy, getenv, ...) must come from the platform's glibc at run time: a
# copy linked in from elsewhere (a compiler runtime defines some) is not
# what the platform ships. So every function the objects call (nm) must
# appear among the library's dynamic imports with a glibc version, and the
# library may import nothing else but CPython's API: an unversioned import
# would be a runtime routine left undefined, an error only when the module
# loads.
#   bash tools/check-libc-imports.sh build-dir library.so
# build-dir holds the objects linked into library.so (the core's archive and
# the extension's objects); the library may be stripped.
set -euo pipefail
build=${1:?usage: check-libc-imports.sh build-dir library.so}
library=${2:?usage: check-libc-imports.sh build-dir library.so}

objects=$(find "$build" \( -name '*.a' -o -path '*/_core.dir/*.o' \))
[ -n "$objects" ] || { echo "no objects under $build" >&2; exit 1; }
# What the objects call in C, leaving out CPython's API and the C++ runtime
# linked in statically (libc++abi, libunwind). pthread_atfork is not a glibc
# export before 2.28: libc_nonshared.a links it in, calling __register_atfork.
# __dso_handle (the library's own handle for its static destructors) comes
# from the start files of every shared library; _GLOBAL_OFFSET_TABLE_ from
# the linker, __tls_get_addr (thread_local on x86-64) from the dynamic linker.
calls=$(nm -u $objects 2>/dev/null | awk 'NF == 2 { print $2 }' |
  grep -v -E '^(_Z|_?Py|__cxa_|__gxx_personality_|_Unwind_|pthread_atfork$|__dso_handle$|_GLOBAL_OFFSET_TABLE_$|__tls_get_addr$)' |
  sort -u)
# Weak imports may stay unresolved at load time: the C++ runtime's
# __cxa_thread_atexit_impl (thread_local destructors) falls back to its own
# registry on a glibc older than 2.18 that lacks it.
imports=$(nm -D --undefined-only "$library" | awk '$1 != "w" { print $2 }')
weak=$(nm -D --undefined-only "$library" | awk '$1 == "w" { print $2 }')

status=0
# The C library's mathematics, in every precision and its _finite aliases.
maths='^(__)?(exp|exp2|exp10|expm1|log|log2|log10|log1p|pow|erf|erfc|sin|cos|tan|sincos|sinh|cosh|tanh|asin|acos|atan|atan2|asinh|acosh|atanh|cbrt|hypot|lgamma|tgamma)(f|l)?(_finite)?$'
called_maths=$(grep -E "$maths" <<<"$calls" || true)
if [ -n "$called_maths" ]; then
  echo "$library: the objects call the C library's mathematics:" $called_maths >&2
  status=1
fi
for name in $calls; do
  if ! grep -q -x -E "$name(@GLIBC_[0-9.]+)?" <<<"$imports"$'\n'"$weak"; then
    echo "$library: $name is defined inside it, not imported from glibc" >&2
    status=1
  fi
done
stray=$(grep -v -E '^(_?Py[A-Za-z_0-9]*|[A-Za-z_0-9.]+@GLIBC_[0-9.]+)$' <<<"$imports" || true)
if [ -n "$stray" ]; then
  echo "$library imports symbols neither glibc nor CPython defines:" >&2
  echo "$stray" >&2
  status=1
fi
[ "$status" = 0 ] && echo "$(basename "$library"): $(wc -w <<<"$calls") C functions, all imported from glibc, none of its mathematics"
exit $status
