// Object searches and attribute reads, in an open session.
#pragma once

#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/session.hpp"

namespace mirandel::pkcs11 {

/// Handles asked for in each C_FindObjects call.
inline constexpr ck::CK_ULONG OBJECT_BATCH = 10;

/// An attribute with its typed value.
struct Attribute {
  ck::CK_ATTRIBUTE_TYPE type;
  std::variant<ck::CK_ULONG, bool, Bytes> value;

  /// The value as bytes, or null when it is not a byte string.
  const Bytes* bytes() const noexcept { return std::get_if<Bytes>(&value); }
  friend bool operator==(const Attribute&, const Attribute&) = default;
};
inline Attribute class_attribute(ck::CK_OBJECT_CLASS c) { return {ck::CKA_CLASS, c}; }
inline Attribute sign_attribute(bool sign) { return {ck::CKA_SIGN, sign}; }
inline Attribute id_attribute(Bytes id) { return {ck::CKA_ID, std::move(id)}; }
inline Attribute value_attribute(Bytes value) { return {ck::CKA_VALUE, std::move(value)}; }

/// C_FindObjectsInit, C_FindObjects in batches of OBJECT_BATCH, and always
/// C_FindObjectsFinal once the search was started.  A search that yields more
/// handles than 65536 (a search still going after that many) fails with
/// InvalidResponse.
Result<std::vector<ck::CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                       std::span<const Attribute> search_template);

/// C_GetAttributeValue in two calls (sizes, then values). Only the attributes
/// the module supplied are returned, in request order.
Result<std::vector<Attribute>> get_attributes(const Session& session, ck::CK_OBJECT_HANDLE object,
                                              std::span<const ck::CK_ATTRIBUTE_TYPE> types);

}  // namespace mirandel::pkcs11
