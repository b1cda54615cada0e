// Exports C_GetInterface and C_GetInterfaceList: the 3.x way to discover the
// function list.
#include "mock_module.hpp"

extern "C" {

MIRANDEL_MOCK_EXPORT CK_RV C_GetInterface(CK_UTF8CHAR* name, CK_VERSION* version,
                                          CK_INTERFACE** found, CK_FLAGS flags) {
  return mirandel::mock::discover_interface(name, version, found, flags);
}

MIRANDEL_MOCK_EXPORT CK_RV C_GetInterfaceList(CK_INTERFACE* interfaces, CK_ULONG* count) {
  return mirandel::mock::discover_interface_list(interfaces, count);
}

}  // extern "C"
