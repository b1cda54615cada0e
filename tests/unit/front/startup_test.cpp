#include "startup.hpp"

#include <gtest/gtest.h>

#include <string>

namespace mirandel {
namespace {

struct NoteCase {
  std::uint16_t machine;
  std::string note;
};

TEST(ForeignModuleNote, NamesTheBuildThatLoadsTheModule) {
  for (const NoteCase& c : {
           NoteCase{0x014C,
                    "mirandel-pkcs11-helper: il modulo è una DLL x86 (32 bit), che solo la "
                    "versione x86 del programma può caricare (cartella x86 del pacchetto)\n"},
           NoteCase{0x8664,
                    "mirandel-pkcs11-helper: il modulo è una DLL x64 (64 bit), che solo la "
                    "versione x64 del programma può caricare (cartella principale del "
                    "pacchetto)\n"},
           NoteCase{0xAA64,
                    "mirandel-pkcs11-helper: il modulo è una DLL per un processore che "
                    "nessuna versione del programma supporta; tipo di macchina PE: 0xaa64\n"},
           NoteCase{0x0000,
                    "mirandel-pkcs11-helper: il modulo è una DLL per un processore che "
                    "nessuna versione del programma supporta; tipo di macchina PE: 0x0000\n"},
       }) {
    EXPECT_EQ(foreign_module_note(c.machine), c.note) << c.machine;
  }
}

}  // namespace
}  // namespace mirandel
