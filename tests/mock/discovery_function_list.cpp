// Exports C_GetFunctionList: the 2.40 way to discover the function list.
#include "mock_module.hpp"

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  return mirandel::mock::discover_function_list(list);
}
