# Installation and packages.
#
# Linux: `cmake --install` puts the program in bin/, its man page (compressed)
# in share/man/man1/ and the copyright notice and changelog in
# share/doc/mirandel-pkcs11-helper/; `cpack` makes a Debian package of that,
# its dependencies computed by dpkg-shlibdeps.
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
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Suggested, not required: a PKCS#11 module is what the program is given.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc-pkcs11 | softhsm2")
endif()

include(CPack)
