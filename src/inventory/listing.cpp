// The listing run: every slot with a token, its description, its token's
// label and the value of every certificate object visible without login.
#include "inventory/listing.hpp"

#include <utility>

#include "codec/hex.hpp"
#include "codec/utf8.hpp"
#include "pkcs11/objects.hpp"
#include "pkcs11/slots.hpp"
#include "startup.hpp"
#include "teardown.hpp"

namespace mirandel {

namespace {

/// A token text trimmed of White_Space at both ends; null when nothing remains.
std::optional<std::string> trimmed_or_null(std::string_view text) {
  std::string_view trimmed = codec::trim_white_space(text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

/// The value of every certificate object on the slot, in search order. Every
/// failure here is absorbed: it costs certificates, never the slot.
std::vector<CertEntry> list_certificates(const pkcs11::ModuleRef& module, ck::CK_SLOT_ID slot) {
  std::vector<CertEntry> certs;
  pkcs11::Result<pkcs11::Session> session = pkcs11::open_ro_session(module, slot);
  if (!session) return certs;

  // The search runs to its end (C_FindObjectsFinal included) before the first
  // attribute is read: some modules refuse other calls on a session with an
  // active search. A failed search lists nothing, not a partial set.
  const pkcs11::Attribute search[] = {pkcs11::class_attribute(ck::CKO_CERTIFICATE)};
  pkcs11::Result<std::vector<ck::CK_OBJECT_HANDLE>> handles =
      pkcs11::find_objects(*session, search);
  if (!handles) return certs;

  const ck::CK_ATTRIBUTE_TYPE wanted[] = {ck::CKA_VALUE};
  for (ck::CK_OBJECT_HANDLE handle : *handles) {
    pkcs11::Result<std::vector<pkcs11::Attribute>> attributes =
        pkcs11::get_attributes(*session, handle, wanted);
    if (!attributes) continue;
    // An unavailable value (sensitive, invalid type, unavailable length) is
    // simply missing from the result: the object is skipped.
    for (const pkcs11::Attribute& attribute : *attributes) {
      const pkcs11::Bytes* value = attribute.bytes();
      if (attribute.type == ck::CKA_VALUE && value != nullptr) {
        certs.push_back(CertEntry{codec::hex_encode(*value)});
        break;
      }
    }
  }
  // The session closes here, before the next slot is looked at.
  return certs;
}

/// The entry of one slot; its members are null or empty where the module
/// could not tell.
SlotEntry list_slot(const pkcs11::ModuleRef& module, ck::CK_SLOT_ID slot) {
  SlotEntry entry;
  if (pkcs11::Result<pkcs11::SlotInfo> info = pkcs11::get_slot_info(*module, slot)) {
    entry.description = trimmed_or_null(info->description);
  }
  // A token information that does not decode (a clock that is not a number)
  // fails as a whole, and then the label is null as well.
  if (pkcs11::Result<pkcs11::TokenInfo> info = pkcs11::get_token_info(*module, slot)) {
    entry.token_label = trimmed_or_null(info->label);
  }
  entry.certs = list_certificates(module, slot);
  return entry;
}

}  // namespace

ListingDocument run_listing(const Invocation& invocation) {
  ListingDocument document;
  std::expected<StartedModule, std::string> started = start_module(invocation.module_path);
  if (!started) {
    document.error = std::move(started.error());
    return document;
  }
  pkcs11::ModuleRef module = std::move(started->module);
  document.slots.reserve(started->slots_with_token.size());
  for (ck::CK_SLOT_ID slot : started->slots_with_token) {
    document.slots.push_back(list_slot(module, slot));
  }
  // Every session is closed by now; the module is finalised and unloaded
  // after the document is delivered.
  defer_teardown(std::move(module));
  return document;
}

}  // namespace mirandel
