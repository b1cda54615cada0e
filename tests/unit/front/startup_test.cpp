#include "startup.hpp"

#include <gtest/gtest.h>

#include <string>

namespace mirandel {
namespace {

// The x86 and x64 lines are checked whole by the Windows process tests, with
// real DLLs of both builds; any other processor gets its Machine value.
TEST(ForeignModuleNote, GivesAnyOtherMachineValueInFourHexadecimalDigits) {
  const std::string prefix =
      "mirandel-pkcs11-helper: il modulo è una DLL per un processore che nessuna versione del "
      "programma supporta; tipo di macchina PE: ";
  EXPECT_EQ(foreign_module_note(0xAA64), prefix + "0xaa64\n");
  EXPECT_EQ(foreign_module_note(0x01C4), prefix + "0x01c4\n");
  EXPECT_EQ(foreign_module_note(0x0000), prefix + "0x0000\n");
}

}  // namespace
}  // namespace mirandel
