# Provides the target vorn::blake3.
# A system libblake3 wins; otherwise the official C sources that Debian's
# librust-blake3-dev ships are built here, with the x86-64 SIMD assembly
# (without it hashing is about ten times slower).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(SYSTEM_BLAKE3 QUIET IMPORTED_TARGET libblake3)
endif()

if(SYSTEM_BLAKE3_FOUND)
  message(STATUS "BLAKE3: system libblake3 ${SYSTEM_BLAKE3_VERSION}")
  add_library(vorn::blake3 ALIAS PkgConfig::SYSTEM_BLAKE3)
  return()
endif()

file(GLOB _blake3_dirs LIST_DIRECTORIES true "/usr/share/cargo/registry/blake3-*/c")
list(SORT _blake3_dirs)
list(REVERSE _blake3_dirs)
set(BLAKE3_C_DIR "" CACHE PATH "Directory holding the BLAKE3 C sources")
if(NOT BLAKE3_C_DIR)
  foreach(_dir IN LISTS _blake3_dirs)
    if(EXISTS "${_dir}/blake3.c" AND EXISTS "${_dir}/blake3_dispatch.c")
      set(BLAKE3_C_DIR "${_dir}")
      break()
    endif()
  endforeach()
endif()
if(NOT BLAKE3_C_DIR)
  message(FATAL_ERROR
    "BLAKE3 not found: install a system libblake3, or Debian's package "
    "librust-blake3-dev (apt-get install librust-blake3-dev), which ships "
    "the official C sources under /usr/share/cargo/registry/blake3-*/c/")
endif()

set(_blake3_sources
  ${BLAKE3_C_DIR}/blake3.c
  ${BLAKE3_C_DIR}/blake3_dispatch.c
  ${BLAKE3_C_DIR}/blake3_portable.c)
set(_blake3_asm
  ${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S
  ${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S)

add_library(vorn_blake3 STATIC)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  foreach(_f IN LISTS _blake3_asm)
    if(NOT EXISTS "${_f}")
      message(FATAL_ERROR "BLAKE3 SIMD source missing: ${_f} (reinstall librust-blake3-dev)")
    endif()
  endforeach()
  target_sources(vorn_blake3 PRIVATE ${_blake3_sources} ${_blake3_asm})
  message(STATUS "BLAKE3: building ${BLAKE3_C_DIR} with x86-64 SIMD assembly")
else()
  target_sources(vorn_blake3 PRIVATE ${_blake3_sources})
  target_compile_definitions(vorn_blake3 PRIVATE
    BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
  message(STATUS "BLAKE3: building ${BLAKE3_C_DIR} portable only")
endif()
set_target_properties(vorn_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
target_include_directories(vorn_blake3 SYSTEM PUBLIC ${BLAKE3_C_DIR})
add_library(vorn::blake3 ALIAS vorn_blake3)
