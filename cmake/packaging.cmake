# Installation and packages.
#
# Linux: `cmake --install` puts the program in bin/, its man page (compressed)
# in share/man/man1/ and the copyright notice and changelog in
# share/doc/mirandel-pkcs11-helper/; `cpack` makes a Debian package of that,
# its dependencies computed by dpkg-shlibdeps, and the one on libcrypto, which
# the program opens with dlopen where dpkg-shlibdeps cannot see it, computed
# here the same way (see mirandel_libcrypto_depends below).
# Windows: the x64 program, README.md and LICENSE side by side, and the x86
# program in x86/, taken from the x86 build named by MIRANDEL_X86_BUILD_DIR;
# `cpack` in the x64 build makes a .zip of them.
# Both packages are reproducible when SOURCE_DATE_EPOCH is set, as
# scripts/package.sh sets it: every time they record is that one.

set(MIRANDEL_PACKAGE_NAME mirandel-pkcs11-helper)
set(MIRANDEL_PACKAGE_MAINTAINER "Mirandel developers <pkcs11-helper@mirandel.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian wants every directory 0755, whatever the umask of the packaging user.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS mirandel-pkcs11-helper RUNTIME DESTINATION . COMPONENT program)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .
          COMPONENT documents)
else()
  include(GNUInstallDirs)
  set(MIRANDEL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MIRANDEL_PACKAGE_NAME})

  # gzip -n: no name or time stamp in the header, so the files are reproducible.
  find_program(MIRANDEL_GZIP gzip REQUIRED)
  set(MIRANDEL_MAN_PAGE ${CMAKE_SOURCE_DIR}/docs/${MIRANDEL_PACKAGE_NAME}.1)
  set(MIRANDEL_MAN_PAGE_GZ ${CMAKE_BINARY_DIR}/packaging/${MIRANDEL_PACKAGE_NAME}.1.gz)
  set(MIRANDEL_CHANGELOG ${CMAKE_SOURCE_DIR}/cmake/debian/changelog)
  set(MIRANDEL_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(
    OUTPUT ${MIRANDEL_MAN_PAGE_GZ} ${MIRANDEL_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${MIRANDEL_GZIP} -9 -n -c ${MIRANDEL_MAN_PAGE} > ${MIRANDEL_MAN_PAGE_GZ}
    COMMAND ${MIRANDEL_GZIP} -9 -n -c ${MIRANDEL_CHANGELOG} > ${MIRANDEL_CHANGELOG_GZ}
    DEPENDS ${MIRANDEL_MAN_PAGE} ${MIRANDEL_CHANGELOG}
    COMMENT "Compressing the man page and the changelog"
    VERBATIM)
  add_custom_target(mirandel_compressed_docs ALL
                    DEPENDS ${MIRANDEL_MAN_PAGE_GZ} ${MIRANDEL_CHANGELOG_GZ})

  install(TARGETS mirandel-pkcs11-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${MIRANDEL_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${MIRANDEL_CHANGELOG_GZ}
          DESTINATION ${MIRANDEL_DOC_DIR})
endif()

# The dependency on the package of libcrypto.so.3 that dpkg-shlibdeps would
# write if the program linked it: the build machine's package that holds the
# library (libssl3 on Debian 12), at the highest version its symbols file
# gives for the functions the program looks up (the list in
# src/platform/libcrypto_posix.hpp). Empty where dpkg is not installed.
function(mirandel_libcrypto_depends out)
  set(${out} "" PARENT_SCOPE)
  find_program(MIRANDEL_DPKG_QUERY dpkg-query)
  find_program(MIRANDEL_DPKG dpkg)
  if(NOT MIRANDEL_DPKG_QUERY OR NOT MIRANDEL_DPKG OR NOT OPENSSL_CRYPTO_LIBRARY)
    return()
  endif()
  file(REAL_PATH ${OPENSSL_CRYPTO_LIBRARY} library)
  execute_process(COMMAND ${MIRANDEL_DPKG_QUERY} -S ${library}
                  OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET)
  # "libssl3:amd64: /usr/lib/x86_64-linux-gnu/libcrypto.so.3"
  string(REGEX MATCH "^[^:, ]+(:[a-z0-9]+)?" owner "${owner}")
  if(failed OR NOT owner)
    message(WARNING "no Debian package holds ${library}: the package will not depend on it")
    return()
  endif()
  execute_process(COMMAND ${MIRANDEL_DPKG_QUERY} --control-show ${owner} symbols
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    message(FATAL_ERROR "${owner} has no symbols file for the version of the dependency on it")
  endif()
  set(functions ${CMAKE_SOURCE_DIR}/src/platform/libcrypto_posix.hpp)
  # A function added to the list changes the dependency: configure again then.
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${functions})
  file(READ ${functions} header)
  string(REGEX MATCHALL "\n +X\\([A-Za-z0-9_]+\\)" calls "${header}")
  set(version "")
  foreach(call IN LISTS calls)
    string(REGEX REPLACE ".*X\\(([A-Za-z0-9_]+)\\)" "\\1" function "${call}")
    if(NOT symbols MATCHES "\n ${function}@[^ ]+ ([^ \n]+)")
      message(FATAL_ERROR "${owner}'s libcrypto does not export ${function}")
    endif()
    set(needed ${CMAKE_MATCH_1})
    execute_process(COMMAND ${MIRANDEL_DPKG} --compare-versions "${needed}" gt "${version}"
                    RESULT_VARIABLE not_greater)
    if(NOT version OR NOT not_greater)
      set(version ${needed})
    endif()
  endforeach()
  if(NOT version)
    message(FATAL_ERROR "no libcrypto function found in src/platform/libcrypto_posix.hpp")
  endif()
  string(REGEX REPLACE ":.*" "" package "${owner}")
  set(${out} "${package} (>= ${version})" PARENT_SCOPE)
endfunction()

set(CPACK_PACKAGE_NAME ${MIRANDEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Mirandel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${MIRANDEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lists and signs with PKCS#11 tokens for another program")
set(CPACK_PACKAGE_DESCRIPTION
    "mirandel-pkcs11-helper is started by a desktop application to work with a
smart card or USB token through the PKCS#11 module of the token's vendor. It
lists every certificate on every token, or signs data with a token's private
key (RSA PKCS#1 v1.5 with SHA-256, SHA-384 or SHA-512, hashed on the token),
and answers with one JSON document. It never prompts and reads no
configuration or environment. Licensed under the Apache License 2.0.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${MIRANDEL_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # Everything of this build at the top; the program alone of the x86 build,
  # installed (and stripped) by that build's own rules, in x86/.
  set(MIRANDEL_X86_BUILD_DIR "" CACHE PATH
      "Build directory of the x86 program that the .zip carries in x86/")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
  if(MIRANDEL_X86_BUILD_DIR)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${MIRANDEL_X86_BUILD_DIR};${PROJECT_NAME};program;/x86")
  endif()
  # CPack lists the entries in the file system's order and stamps them with
  # the local time and the packaging user's ids: reorder and restamp them.
  find_program(MIRANDEL_PYTHON3 python3 REQUIRED)
  set(CPACK_MIRANDEL_PYTHON3 ${MIRANDEL_PYTHON3})
  set(CPACK_MIRANDEL_REPRODUCIBLE_ZIP ${CMAKE_SOURCE_DIR}/cmake/reproducible_zip.py)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/reproducible_zip.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MIRANDEL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # dpkg-shlibdeps adds its findings after this one.
  mirandel_libcrypto_depends(CPACK_DEBIAN_PACKAGE_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Suggested, not required: a PKCS#11 module is what the program is given.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc-pkcs11 | softhsm2")
endif()

include(CPack)
