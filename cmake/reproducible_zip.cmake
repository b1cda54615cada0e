# Run by cpack once it has made the .zip, before it copies it out and writes
# its checksum: cmake/reproducible_zip.py puts the entries in a fixed order
# with fixed times.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${CPACK_MIRANDEL_PYTHON3} ${CPACK_MIRANDEL_REPRODUCIBLE_ZIP} ${package}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
