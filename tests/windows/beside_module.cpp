// A PKCS#11 module that imports a DLL of its own: the mock module, whose
// C_GetFunctionList asks mirandel_beside_helper.dll first. The loader must
// find that DLL before the module can load at all.
#include "mock_module.hpp"

extern "C" __declspec(dllimport) int mirandel_beside_helper_answer();

namespace mirandel::mock {
const char* const VARIANT_NAME = "beside";
}

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (mirandel_beside_helper_answer() != 42) return CKR_GENERAL_ERROR;
  return mirandel::mock::discover_function_list(list);
}
