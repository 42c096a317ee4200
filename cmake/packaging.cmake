# Installation and the Debian package: both programs (installed beside their
# targets), their manual pages, bash completion, the README as documentation
# and the schema of zud_keytool's JSON reports. `cpack -G DEB` in the build
# directory makes the package.
include(GNUInstallDirs)

set(ZUD_MAN_PAGES zud_encrypt_tqrr)
set(ZUD_COMPLETIONS ${CMAKE_SOURCE_DIR}/completion/zud_encrypt_tqrr)
if(TARGET zud_keytool)
  list(APPEND ZUD_MAN_PAGES zud_keytool)
  list(APPEND ZUD_COMPLETIONS ${CMAKE_SOURCE_DIR}/completion/zud_keytool)
endif()

# The pages are written by hand; one that names another version would ship
# stale text, so a version bump has to touch them.
foreach(_page IN LISTS ZUD_MAN_PAGES)
  file(STRINGS ${CMAKE_SOURCE_DIR}/man/${_page}.1 _th REGEX "^\\.TH ")
  string(FIND "${_th}" "\"zud-encrypt-tqrr ${PROJECT_VERSION}\"" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "man/${_page}.1: the .TH line must name "
                        "\"zud-encrypt-tqrr ${PROJECT_VERSION}\", the project version")
  endif()
endforeach()

# Manual pages are installed compressed, as the distribution keeps them,
# when gzip is there (-n: no name or time stamp, so the bytes do not depend
# on the build).
find_program(ZUD_GZIP gzip)
set(_man_files "")
foreach(_page IN LISTS ZUD_MAN_PAGES)
  set(_source ${CMAKE_SOURCE_DIR}/man/${_page}.1)
  if(ZUD_GZIP)
    set(_gz ${CMAKE_BINARY_DIR}/man/${_page}.1.gz)
    add_custom_command(OUTPUT ${_gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${ZUD_GZIP} -9 -n -c ${_source} > ${_gz}
      DEPENDS ${_source})
    list(APPEND _man_files ${_gz})
  else()
    list(APPEND _man_files ${_source})
  endif()
endforeach()
add_custom_target(zud_man_pages ALL DEPENDS ${_man_files})

install(FILES ${_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZUD_COMPLETIONS}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zud-encrypt-tqrr)
# The JSON Schema of zud_keytool's --json reports, for the programs that
# read them.
if(TARGET zud_keytool)
  install(FILES ${CMAKE_SOURCE_DIR}/share/zud_keytool/report.schema.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/zud_keytool)
endif()

set(ZUD_PACKAGE_MAINTAINER "zud-encrypt-tqrr maintainers <zud-encrypt-tqrr@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian names may not contain '_'. dpkg-shlibdeps (from dpkg-dev) derives
# the library dependencies (mbed TLS's libmbedcrypto, OpenSSL's libcrypto,
# the C and C++ runtimes) from the installed programs.
set(CPACK_PACKAGE_NAME zud-encrypt-tqrr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "sign and encrypt firmware for a secure-boot system-on-chip")
set(CPACK_PACKAGE_CONTACT "${ZUD_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZUD_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary is the first line of the package description, this the rest.
set(CPACK_PACKAGE_DESCRIPTION
    "zud_encrypt_tqrr turns RSA key files, an AES key, a bootloader (BL2 and a
FIP), Android boot images and upgrade files into what the chip's secure
boot chain accepts: a signed key matrix, the bound user key file, signed
and encrypted bootloaders with their eFuse pattern, signed and encrypted
kernel images, signed upgrade files and device packages.
zud_keytool makes and converts its RSA key files and verifies and shows
the files it writes.")
include(CPack)
