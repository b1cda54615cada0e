// The DLL that the test module of mirandel_beside_module.dll imports. It is
// kept beside that module, in a folder on no search path, as a vendor keeps
// its crypto and smart-card libraries beside its PKCS#11 module.
#include <windows.h>

extern "C" __declspec(dllexport) int mirandel_beside_helper_answer() { return 42; }
