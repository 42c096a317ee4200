# The three root key digests that the verification routines admit: the
# SHA-256 of a keymax's root key matrix, as a device's eFuses carry it.
# Set them with -DZUD_ROOT_DIGESTS=hex,hex,hex (64 hexadecimal digits each).
# The default admits no real matrix: three all-zero digests.
set(_zero_digest "0000000000000000000000000000000000000000000000000000000000000000")
set(ZUD_ROOT_DIGESTS "${_zero_digest},${_zero_digest},${_zero_digest}"
    CACHE STRING "Three comma-separated 64-digit hex SHA-256 root key digests")

string(REPLACE "," ";" _digests "${ZUD_ROOT_DIGESTS}")
list(LENGTH _digests _n)
if(NOT _n EQUAL 3)
  message(FATAL_ERROR "ZUD_ROOT_DIGESTS needs exactly three digests, got ${_n}")
endif()
set(_rows "")
foreach(_d IN LISTS _digests)
  string(STRIP "${_d}" _d)
  if(NOT _d MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "ZUD_ROOT_DIGESTS: '${_d}' is not hexadecimal")
  endif()
  string(LENGTH "${_d}" _len)
  if(NOT _len EQUAL 64)
    message(FATAL_ERROR "ZUD_ROOT_DIGESTS: '${_d}' has ${_len} digits, not 64")
  endif()
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," _arr "${_d}")
  string(APPEND _rows "    {${_arr}},\n")
endforeach()
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/zud_root_digests.inc"
     CONTENT "// Generated from ZUD_ROOT_DIGESTS; do not edit.\n${_rows}")
