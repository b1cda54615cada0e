# Windows specifics of mirandel-pkcs11-helper.exe: the version record, the
# icon and the manifest compiled in as resources, a fully static link so
# that the program needs no DLL beyond the system's, and no link time stamp.

enable_language(RC)

set(MIRANDEL_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
# The manifest names the processor the program is built for: Windows refuses
# to start a program whose manifest names another.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MIRANDEL_MANIFEST_ARCHITECTURE amd64)
else()
  set(MIRANDEL_MANIFEST_ARCHITECTURE x86)
endif()
set(MIRANDEL_MANIFEST ${CMAKE_BINARY_DIR}/mirandel-pkcs11-helper.manifest)
configure_file(${MIRANDEL_RESOURCE_DIR}/mirandel-pkcs11-helper.manifest.in ${MIRANDEL_MANIFEST}
               @ONLY)
configure_file(${MIRANDEL_RESOURCE_DIR}/mirandel-pkcs11-helper.rc.in
               ${CMAKE_BINARY_DIR}/mirandel-pkcs11-helper.rc @ONLY)
target_sources(mirandel-pkcs11-helper PRIVATE ${CMAKE_BINARY_DIR}/mirandel-pkcs11-helper.rc)
# windres does not track the files the script names: rebuild when they change.
set_property(SOURCE ${CMAKE_BINARY_DIR}/mirandel-pkcs11-helper.rc APPEND PROPERTY OBJECT_DEPENDS
             ${MIRANDEL_RESOURCE_DIR}/mirandel.ico ${MIRANDEL_MANIFEST})

if(MINGW)
  # The GCC runtime, libstdc++ and winpthreads go into the executable.
  target_link_options(mirandel-pkcs11-helper PRIVATE -static -static-libgcc -static-libstdc++)
  # A console program; -municode is not used: the arguments come from
  # GetCommandLineW, not from main's argv.
  target_link_options(mirandel-pkcs11-helper PRIVATE -mconsole)
  # No link time in the PE header (and so none in its checksum either): two
  # builds of one commit give the same bytes.
  target_link_options(mirandel-pkcs11-helper PRIVATE -Wl,--no-insert-timestamp)
endif()
