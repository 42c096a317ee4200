# The built-in RSA-2048 and AES-256 keys are compiled in as constants. They
# are read at configure time from a key directory that holds rsa.txt (the
# text key form: eight lines N, E, D, P, Q, DP, DQ, QP, each ending in its
# hexadecimal value) and aes.bin (exactly 32 bytes), and become a source
# file of their own, so that a program can be linked with another key's
# values without rebuilding the rest.
set(ZUD_BUILTIN_KEY_DIR "${CMAKE_SOURCE_DIR}/keys/builtin-dev"
    CACHE PATH "Directory holding rsa.txt and aes.bin of the built-in key")
set(_zud_dev_key_dir "${CMAKE_CURRENT_LIST_DIR}/../keys/builtin-dev")

# Turns the trailing hexadecimal run of a text line into a C initialiser of
# exactly `width` bytes, big-endian. Fails when the value does not fit.
function(_zud_hex_to_array line width name out_var bits_var)
  string(REGEX MATCH "[0-9A-Fa-f]*$" _hex "${line}")
  string(REGEX REPLACE "^0+" "" _hex "${_hex}")
  string(LENGTH "${_hex}" _len)
  math(EXPR _max "${width} * 2")
  if(_len GREATER _max)
    message(FATAL_ERROR "built-in key: ${name} does not fit ${width} bytes")
  endif()
  # Bit length of the value, for the modulus size check.
  set(_bits 0)
  if(_len GREATER 0)
    string(SUBSTRING "${_hex}" 0 1 _top)
    string(TOUPPER "${_top}" _top)
    if(_top MATCHES "[89A-F]")
      set(_tb 4)
    elseif(_top MATCHES "[4-7]")
      set(_tb 3)
    elseif(_top MATCHES "[23]")
      set(_tb 2)
    else()
      set(_tb 1)
    endif()
    math(EXPR _bits "(${_len} - 1) * 4 + ${_tb}")
  endif()
  math(EXPR _pad "${_max} - ${_len}")
  string(REPEAT "0" ${_pad} _zeros)
  set(_hex "${_zeros}${_hex}")
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," _arr "${_hex}")
  set(${out_var} "${_arr}" PARENT_SCOPE)
  set(${bits_var} ${_bits} PARENT_SCOPE)
endfunction()

# Writes `output`, a C++ file defining the values declared in
# tool/keys/builtin_key_values.h from the key in `key_dir`. Fails the
# configuration when the directory lacks a file or a value has the wrong size.
function(zud_generate_builtin_key_values key_dir output)
  set(_key_dir "${key_dir}")
  foreach(_file rsa.txt aes.bin)
    if(NOT EXISTS "${_key_dir}/${_file}")
      message(FATAL_ERROR "built-in key directory ${_key_dir} lacks ${_file}; "
              "it needs rsa.txt (text key form) and aes.bin (32 bytes)")
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${_key_dir}/rsa.txt" "${_key_dir}/aes.bin")

  file(STRINGS "${_key_dir}/rsa.txt" _lines)
  list(LENGTH _lines _count)
  if(_count LESS 8)
    message(FATAL_ERROR "built-in key: ${_key_dir}/rsa.txt needs eight lines "
            "N, E, D, P, Q, DP, DQ, QP; it has ${_count}")
  endif()
  set(_names N E D P Q DP DQ QP)
  set(_widths 256 4 256 128 128 128 128 128)
  set(_body "")
  foreach(_i RANGE 7)
    list(GET _lines ${_i} _line)
    list(GET _names ${_i} _name)
    list(GET _widths ${_i} _width)
    _zud_hex_to_array("${_line}" ${_width} ${_name} _arr _bits)
    if(_i EQUAL 0)
      set(_modulus "${_arr}")
    endif()
    if(_i EQUAL 0 AND NOT _bits EQUAL 2048)
      message(FATAL_ERROR "built-in key: the RSA modulus in ${_key_dir}/rsa.txt "
              "has ${_bits} bits; it must have 2048")
    endif()
    if(_bits EQUAL 0)
      message(FATAL_ERROR "built-in key: ${_name} in ${_key_dir}/rsa.txt is "
              "missing or zero")
    endif()
    string(APPEND _body "extern const std::uint8_t kBuiltin${_name}[${_width}] = {${_arr}};\n")
  endforeach()

  file(SIZE "${_key_dir}/aes.bin" _aes_size)
  if(NOT _aes_size EQUAL 32)
    message(FATAL_ERROR "built-in key: ${_key_dir}/aes.bin holds ${_aes_size} "
            "bytes; it must hold exactly 32")
  endif()
  file(READ "${_key_dir}/aes.bin" _aes_hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _aes_arr "${_aes_hex}")
  string(APPEND _body "extern const std::uint8_t kBuiltinAes[32] = {${_aes_arr}};\n")

  # A build whose built-in key is the public development key says so on
  # standard error whenever it seals a file, so that nothing sealed with it is
  # shipped by mistake. The values are compared, not the directory's path: a
  # copy of keys/builtin-dev elsewhere is still that key, and a key that shares
  # either half with it (its RSA modulus or its AES key) protects nothing.
  set(_dev_dir "${_zud_dev_key_dir}")
  set(_development false)
  if(EXISTS "${_dev_dir}/rsa.txt" AND EXISTS "${_dev_dir}/aes.bin")
    file(STRINGS "${_dev_dir}/rsa.txt" _dev_lines LIMIT_COUNT 1)
    _zud_hex_to_array("${_dev_lines}" 256 N _dev_modulus _dev_bits)
    file(READ "${_dev_dir}/aes.bin" _dev_aes_hex HEX)
    string(TOLOWER "${_modulus}" _modulus)
    string(TOLOWER "${_dev_modulus}" _dev_modulus)
    if(_modulus STREQUAL _dev_modulus OR _aes_hex STREQUAL _dev_aes_hex)
      set(_development true)
    endif()
  endif()
  string(APPEND _body "extern const bool kBuiltinKeyIsDevelopment = ${_development};\n")

  file(CONFIGURE OUTPUT "${output}"
       CONTENT "// Generated from ${_key_dir}; do not edit.\n#include \"builtin_key_values.h\"\n\n${_body}")
endfunction()

# The static library `name`: the values of the key in `key_dir`, generated
# into the build tree as ${name}.cpp.
function(zud_builtin_key_values_library name key_dir)
  set(_source "${CMAKE_BINARY_DIR}/generated/${name}.cpp")
  zud_generate_builtin_key_values("${key_dir}" "${_source}")
  add_library(${name} STATIC "${_source}")
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tool/keys)
endfunction()
