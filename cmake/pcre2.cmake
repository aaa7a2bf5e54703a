# PCRE2, the matcher of /g, as the target vellicor_pcre2: linked statically, with code units as
# wide as wchar_t (32 bits on Linux, 16 on Windows), so that names are matched as the wide text
# they are. PCRE2_CODE_UNIT_WIDTH is set here, and the pattern code uses PCRE2's generic names.
#
# Linux links Debian's libpcre2-dev. Windows builds PCRE2 with the same toolchain from Debian's
# source package of the same release, which `scripts/install-deps.sh --windows` unpacks into
# build/deps/pcre2 (VELLICOR_PCRE2_SOURCE_DIR).
include(CheckTypeSize)
check_type_size("wchar_t" VELLICOR_WCHAR_SIZE LANGUAGE CXX)
if(NOT VELLICOR_WCHAR_SIZE EQUAL 2 AND NOT VELLICOR_WCHAR_SIZE EQUAL 4)
  message(FATAL_ERROR "wchar_t of ${VELLICOR_WCHAR_SIZE} bytes: PCRE2 has no such code unit")
endif()
math(EXPR VELLICOR_PCRE2_WIDTH "${VELLICOR_WCHAR_SIZE} * 8")

add_library(vellicor_pcre2 INTERFACE)
target_compile_definitions(vellicor_pcre2 INTERFACE PCRE2_CODE_UNIT_WIDTH=${VELLICOR_PCRE2_WIDTH})

if(NOT WIN32)
  find_path(VELLICOR_PCRE2_INCLUDE_DIR pcre2.h)
  find_library(VELLICOR_PCRE2_LIBRARY NAMES libpcre2-${VELLICOR_PCRE2_WIDTH}.a)
  if(NOT VELLICOR_PCRE2_INCLUDE_DIR OR NOT VELLICOR_PCRE2_LIBRARY)
    message(FATAL_ERROR "PCRE2's static library is missing: run scripts/install-deps.sh")
  endif()
  target_include_directories(vellicor_pcre2 SYSTEM INTERFACE ${VELLICOR_PCRE2_INCLUDE_DIR})
  target_link_libraries(vellicor_pcre2 INTERFACE ${VELLICOR_PCRE2_LIBRARY})
  return()
endif()

set(VELLICOR_PCRE2_SOURCE_DIR "${CMAKE_SOURCE_DIR}/build/deps/pcre2"
    CACHE PATH "PCRE2's source (Debian's pcre2 source package, unpacked)")
if(NOT EXISTS "${VELLICOR_PCRE2_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "PCRE2's source is missing from ${VELLICOR_PCRE2_SOURCE_DIR}: run "
                      "scripts/install-deps.sh --windows")
endif()

include(ExternalProject)
set(pcre2_build "${CMAKE_BINARY_DIR}/pcre2")
set(pcre2_library "${pcre2_build}/libpcre2-${VELLICOR_PCRE2_WIDTH}.a")
# Only the library of this width, without JIT (the matcher's own limits apply to the interpreter).
# A link size of 4 lets compiled patterns grow as large as with 32-bit code units.
ExternalProject_Add(pcre2_windows
  SOURCE_DIR "${VELLICOR_PCRE2_SOURCE_DIR}"
  BINARY_DIR "${pcre2_build}"
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}"
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_STATIC_LIBS=ON
    -DPCRE2_BUILD_PCRE2_8=OFF
    -DPCRE2_BUILD_PCRE2_16=OFF
    -DPCRE2_BUILD_PCRE2_32=OFF
    -DPCRE2_BUILD_PCRE2_${VELLICOR_PCRE2_WIDTH}=ON
    -DPCRE2_LINK_SIZE=4
    -DPCRE2_SUPPORT_JIT=OFF
    -DPCRE2_BUILD_PCRE2GREP=OFF
    -DPCRE2_BUILD_TESTS=OFF
    -DPCRE2_SHOW_REPORT=OFF
    -DPCRE2_SUPPORT_LIBBZ2=OFF
    -DPCRE2_SUPPORT_LIBZ=OFF
    -DPCRE2_SUPPORT_LIBREADLINE=OFF
    -DPCRE2_SUPPORT_LIBEDIT=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target pcre2-${VELLICOR_PCRE2_WIDTH}-static
  BUILD_BYPRODUCTS "${pcre2_library}"
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD TRUE
)
add_dependencies(vellicor_pcre2 pcre2_windows)
target_compile_definitions(vellicor_pcre2 INTERFACE PCRE2_STATIC)
target_include_directories(vellicor_pcre2 SYSTEM INTERFACE "${pcre2_build}")
target_link_libraries(vellicor_pcre2 INTERFACE "${pcre2_library}")
