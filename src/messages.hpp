// Every text the program answers in Italian, byte for byte as a caller sees
// it. They are part of the program's interface: the README and the man page
// quote each of them (tests/packaging/check_messages.py reads this file to
// check that they do), and callers may compare them as they are.
//
// A text ending in ": " is a prefix: the English text of the PKCS#11 failure
// behind it (pkcs11::error_text) or the caller's mechanism name follows it
// directly. Those English texts belong to the binding and stay there.
#pragma once

#include <string_view>

namespace mirandel {

// On standard error. The usage line carries its own line feed.
inline constexpr std::string_view USAGE_LINE =
    "uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]\n";
/// Put before the reason of a broken invariant (exit status 101).
inline constexpr std::string_view FATAL_PREFIX = "mirandel-pkcs11-helper: errore interno: ";
inline constexpr std::string_view FATAL_OUT_OF_MEMORY = "memoria esaurita";
inline constexpr std::string_view FATAL_UNEXPECTED_EXCEPTION = "eccezione inattesa";
inline constexpr std::string_view FATAL_UNKNOWN_EXCEPTION = "eccezione sconosciuta";

// On standard error when the module is a DLL built for another processor,
// beside the document's own message: which build of the program loads it.
// Each carries its own line feed; the machine value in hexadecimal
// ("0xaa64") and a line feed follow the prefix.
// clang-format off
inline constexpr std::string_view MODULE_FOR_X86 = "mirandel-pkcs11-helper: il modulo è una DLL x86 (32 bit), che solo la versione x86 del programma può caricare (cartella x86 del pacchetto)\n";
inline constexpr std::string_view MODULE_FOR_X64 = "mirandel-pkcs11-helper: il modulo è una DLL x64 (64 bit), che solo la versione x64 del programma può caricare (cartella principale del pacchetto)\n";
inline constexpr std::string_view MODULE_FOR_OTHER_MACHINE_PREFIX = "mirandel-pkcs11-helper: il modulo è una DLL per un processore che nessuna versione del programma supporta; tipo di macchina PE: ";
// clang-format on

// Start-up, shared by both runs; the binding's text follows.
inline constexpr std::string_view MODULE_NOT_LOADABLE_PREFIX = "Modulo PKCS#11 non caricabile: ";
inline constexpr std::string_view INITIALIZE_FAILED_PREFIX = "Inizializzazione PKCS#11 fallita: ";
inline constexpr std::string_view SLOT_LIST_FAILED_PREFIX = "Lettura degli slot fallita: ";

// The signing request, settled before the module is loaded.
inline constexpr std::string_view REQUEST_UNREADABLE = "Input di firma non leggibile.";
inline constexpr std::string_view REQUEST_INVALID = "Input di firma non valido.";
/// The request's mechanism text follows, unchanged.
inline constexpr std::string_view UNSUPPORTED_MECHANISM_PREFIX = "Meccanismo non supportato: ";

// Signing on the tokens; the binding's text follows the prefixes.
inline constexpr std::string_view LOGIN_FAILED_PREFIX = "Login fallito (PIN errato?): ";
inline constexpr std::string_view SIGNING_FAILED_PREFIX = "Firma fallita: ";
inline constexpr std::string_view NO_SIGNING_KEY =
    "Chiave privata di firma non trovata sul dispositivo.";

/// The reason in the last-resort documents (emit.hpp), written into them
/// as it is: it must need no JSON escape.
inline constexpr std::string_view SERIALIZATION_FAILED = "Serializzazione del documento fallita.";

}  // namespace mirandel
