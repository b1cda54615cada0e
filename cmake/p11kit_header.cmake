# Debian's p11-kit pkcs11.h, an independent PKCS#11 header: the mock module
# and the benchmark's floor client take their types from it, and the layout
# tests hold our declarations to it. It is looked up once, on the build
# machine, and only that one header is copied into the build tree, so that no
# host include folder ever lands on a cross build's include path.
# MIRANDEL_P11KIT_INCLUDE_DIR stays empty when the header is missing. Include
# it in each directory that needs it (the variable is per directory; the
# lookup itself is cached).
find_file(MIRANDEL_P11KIT_PKCS11_H p11-kit/pkcs11.h
  PATHS /usr/include/p11-kit-1 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(MIRANDEL_P11KIT_INCLUDE_DIR "")
if(MIRANDEL_P11KIT_PKCS11_H)
  set(MIRANDEL_P11KIT_INCLUDE_DIR ${CMAKE_BINARY_DIR}/p11-kit-header)
  configure_file(${MIRANDEL_P11KIT_PKCS11_H} ${MIRANDEL_P11KIT_INCLUDE_DIR}/p11-kit/pkcs11.h
    COPYONLY)
endif()
