# Cross toolchain: Zig's Clang (the ziglang package on PyPI) for one target
# triple, glibc version included, e.g.
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DTARVIK_ZIG_TARGET=aarch64-linux-gnu.2.17
# It compiles against the headers of that glibc (so the objects need no
# newer symbols) and links its own libc++ statically. tools/build-wheels.sh
# builds the release wheels with it; tools/cross-compile-core.sh the core
# for macOS and Windows. The compiler is a small wrapper script around
# `python -m ziglang`, written into the build tree, because CMake wants one
# executable per tool.
if(NOT TARVIK_ZIG_TARGET)
  set(TARVIK_ZIG_TARGET "$ENV{TARVIK_ZIG_TARGET}")
endif()
if(NOT TARVIK_ZIG_TARGET)
  message(FATAL_ERROR "set TARVIK_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17")
endif()
if(NOT TARVIK_ZIG_PYTHON)
  set(TARVIK_ZIG_PYTHON "$ENV{TARVIK_ZIG_PYTHON}")
endif()
if(NOT TARVIK_ZIG_PYTHON)
  find_program(TARVIK_ZIG_PYTHON NAMES python3 python REQUIRED)
endif()
# try_compile projects load this file again: hand them the settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_ZIG_TARGET TARVIK_ZIG_PYTHON)

string(REGEX MATCH "^[^-]+" _zig_arch "${TARVIK_ZIG_TARGET}")
if(TARVIK_ZIG_TARGET MATCHES "-linux")
  set(CMAKE_SYSTEM_NAME Linux)
elseif(TARVIK_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
elseif(TARVIK_ZIG_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
endif()
if(_zig_arch STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()

set(_zig_dir "${CMAKE_BINARY_DIR}/zig-${TARVIK_ZIG_TARGET}")
file(MAKE_DIRECTORY "${_zig_dir}")
# TARVIK_ZIG_COMPILE_ONLY: a build that compiles and archives but never
# links (a platform this machine cannot run). The compiler then refuses to
# link, so that CMake's compiler identification takes its compile-only
# route instead of having Zig build a C++ library for the target first.
set(_guard "")
if(TARVIK_ZIG_COMPILE_ONLY)
  set(_guard "case \" $* \" in *\" -c \"*) ;; *) echo 'compile-only toolchain: not linking' >&2; exit 1 ;; esac\n")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_ZIG_COMPILE_ONLY)
foreach(_tool c++ cc ar ranlib)
  set(_args "${_tool}")
  set(_check "")
  if(_tool STREQUAL "c++" OR _tool STREQUAL "cc")
    set(_args "${_tool} -target ${TARVIK_ZIG_TARGET}")
    set(_check "${_guard}")
  endif()
  file(WRITE "${_zig_dir}/zig-${_tool}"
    "#!/bin/sh\n${_check}exec \"${TARVIK_ZIG_PYTHON}\" -m ziglang ${_args} \"$@\"\n")
  file(CHMOD "${_zig_dir}/zig-${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${_zig_dir}/zig-c++")
set(CMAKE_C_COMPILER "${_zig_dir}/zig-cc")
set(CMAKE_AR "${_zig_dir}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_zig_dir}/zig-ranlib" CACHE FILEPATH "" FORCE)

# Clang contracts a*b+c into a fused multiply-add unless told not to, and
# the results are IEEE operation by operation: every compile gets the flag,
# also those that do not link tarvik_flags.
set(CMAKE_CXX_FLAGS_INIT "-ffp-contract=off")
set(CMAKE_C_FLAGS_INIT "-ffp-contract=off")

# Linux libraries are linked without Zig's compiler runtime. It is one
# object file that also defines exp, log, memcpy, memset, memmove and
# strlen, so once anything pulls it in (on aarch64: libc++'s
# std::to_chars, whose long double overloads convert binary128 with
# __trunctfdf2), those definitions take the place of glibc's, and exp and
# log no longer round as the platform's C library does. Nothing the
# extension reaches needs the runtime (a routine it did need would be left
# undefined, and tools/build-wheels.sh fails on any import that is neither
# glibc's nor Python's; it also checks that every C function the objects
# call is imported from glibc). Executables keep it: CMake's checks link
# unoptimised ones, which carry Zig's UBSan runtime.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  foreach(_kind SHARED MODULE)
    set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-rtlib=none")
  endforeach()
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
