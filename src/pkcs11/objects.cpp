// Object searches and attribute reads.

#include "pkcs11/objects.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "pkcs11/calls.hpp"

namespace mirandel::pkcs11 {

namespace {

// A search yields at most MAX_FOUND_OBJECTS handles, that is at most
// MAX_FOUND_OBJECTS / OBJECT_BATCH + 1 C_FindObjects calls.  No token holds
// that many objects (smart cards hold a few dozen, software stores and trust
// lists a few hundred), and a module that keeps answering full batches is
// stopped after a fraction of a second rather than after it has exhausted
// memory.
constexpr std::size_t MAX_FOUND_OBJECTS = std::size_t{1} << 16;

constexpr OutputLimits ATTRIBUTE_VALUE{
    .function = Function::GetAttributeValue,
    .max_length = MAX_MODULE_BUFFER_BYTES,
    .too_large = "attribute value too large",
    .longer_than_buffer = "value longer than its buffer",
};

/// How an attribute's value is held when its type is known to be fixed-size.
enum class FixedKind : std::uint8_t { Bool, Ulong, Date };

/// A standard attribute type whose value has a fixed size.
struct FixedAttribute {
  ck::CK_ATTRIBUTE_TYPE type;
  FixedKind kind;
};

// The standard attributes whose values have a fixed size.  They get a buffer
// of that size in the first C_GetAttributeValue call and so need no second
// call.  Every other type is read as a byte string in two calls.
constexpr FixedAttribute FIXED_ATTRIBUTES[] = {
    {ck::CKA_CLASS, FixedKind::Ulong},
    {ck::CKA_TOKEN, FixedKind::Bool},
    {ck::CKA_PRIVATE, FixedKind::Bool},
    {ck::CKA_CERTIFICATE_TYPE, FixedKind::Ulong},
    {ck::CKA_TRUSTED, FixedKind::Bool},
    {ck::CKA_CERTIFICATE_CATEGORY, FixedKind::Ulong},
    {ck::CKA_KEY_TYPE, FixedKind::Ulong},
    {ck::CKA_SENSITIVE, FixedKind::Bool},
    {ck::CKA_ENCRYPT, FixedKind::Bool},
    {ck::CKA_DECRYPT, FixedKind::Bool},
    {ck::CKA_WRAP, FixedKind::Bool},
    {ck::CKA_UNWRAP, FixedKind::Bool},
    {ck::CKA_SIGN, FixedKind::Bool},
    {ck::CKA_SIGN_RECOVER, FixedKind::Bool},
    {ck::CKA_VERIFY, FixedKind::Bool},
    {ck::CKA_VERIFY_RECOVER, FixedKind::Bool},
    {ck::CKA_DERIVE, FixedKind::Bool},
    {ck::CKA_START_DATE, FixedKind::Date},
    {ck::CKA_END_DATE, FixedKind::Date},
    {ck::CKA_MODULUS_BITS, FixedKind::Ulong},
    {ck::CKA_VALUE_BITS, FixedKind::Ulong},
    {ck::CKA_VALUE_LEN, FixedKind::Ulong},
    {ck::CKA_EXTRACTABLE, FixedKind::Bool},
    {ck::CKA_LOCAL, FixedKind::Bool},
    {ck::CKA_NEVER_EXTRACTABLE, FixedKind::Bool},
    {ck::CKA_ALWAYS_SENSITIVE, FixedKind::Bool},
    {ck::CKA_KEY_GEN_MECHANISM, FixedKind::Ulong},
    {ck::CKA_MODIFIABLE, FixedKind::Bool},
    {ck::CKA_COPYABLE, FixedKind::Bool},
    {ck::CKA_DESTROYABLE, FixedKind::Bool},
    {ck::CKA_ALWAYS_AUTHENTICATE, FixedKind::Bool},
    {ck::CKA_WRAP_WITH_TRUSTED, FixedKind::Bool},
};

/// The fixed-size entry for `type`, or null for a variable-length attribute.
const FixedAttribute* fixed_attribute(ck::CK_ATTRIBUTE_TYPE type) {
  for (const FixedAttribute& a : FIXED_ATTRIBUTES)
    if (a.type == type) return &a;
  return nullptr;
}

std::size_t fixed_size(FixedKind kind) {
  switch (kind) {
    case FixedKind::Bool:
      return sizeof(ck::CK_BBOOL);
    case FixedKind::Ulong:
      return sizeof(ck::CK_ULONG);
    case FixedKind::Date:
      return sizeof(ck::CK_DATE);
  }
  return 0;
}

/// The typed value of an attribute read from the module.  A value whose
/// length does not match its type's size is kept as the raw bytes.
Attribute decode_attribute(ck::CK_ATTRIBUTE_TYPE type, Bytes bytes) {
  if (const FixedAttribute* fixed = fixed_attribute(type)) {
    if (fixed->kind == FixedKind::Bool && bytes.size() == sizeof(ck::CK_BBOOL))
      return Attribute{type, bytes[0] != ck::CK_FALSE};
    if (fixed->kind == FixedKind::Ulong && bytes.size() == sizeof(ck::CK_ULONG)) {
      ck::CK_ULONG value;
      std::memcpy(&value, bytes.data(), sizeof value);
      return Attribute{type, value};
    }
  }
  return Attribute{type, std::move(bytes)};
}

/// A search template on the wire: the records and the storage of the fixed
/// values they point at.  Byte strings point into the caller's attributes,
/// which outlive the call.
struct EncodedTemplate {
  std::vector<ck::CK_ATTRIBUTE> records;
  std::vector<ck::CK_ULONG> ulongs;
  std::vector<ck::CK_BBOOL> bools;
};

/// Encodes a search template; a byte string too long for a CK_ULONG length
/// gives LengthOutOfRange.
Result<EncodedTemplate> encode_template(std::span<const Attribute> attributes) {
  EncodedTemplate encoded;
  encoded.records.reserve(attributes.size());
  // Reserved in full up front: the records keep pointers into these vectors.
  encoded.ulongs.reserve(attributes.size());
  encoded.bools.reserve(attributes.size());
  for (const Attribute& attribute : attributes) {
    ck::CK_ATTRIBUTE record{attribute.type, nullptr, 0};
    if (const ck::CK_ULONG* number = std::get_if<ck::CK_ULONG>(&attribute.value)) {
      encoded.ulongs.push_back(*number);
      record.pValue = &encoded.ulongs.back();
      record.ulValueLen = sizeof(ck::CK_ULONG);
    } else if (const bool* flag = std::get_if<bool>(&attribute.value)) {
      encoded.bools.push_back(*flag ? ck::CK_TRUE : ck::CK_FALSE);
      record.pValue = &encoded.bools.back();
      record.ulValueLen = sizeof(ck::CK_BBOOL);
    } else {
      const Bytes& bytes = std::get<Bytes>(attribute.value);
      std::expected<ck::CK_ULONG, BindingError> length = to_ck_ulong(bytes.size());
      if (!length) return std::unexpected(length.error());
      // An empty byte string goes as a null pointer with length 0.  The
      // module only reads a search template, hence the const_cast.
      if (!bytes.empty()) record.pValue = const_cast<std::uint8_t*>(bytes.data());
      record.ulValueLen = *length;
    }
    encoded.records.push_back(record);
  }
  return encoded;
}

/// Ends a started search with C_FindObjectsFinal exactly once, whichever way
/// the search is left.
class ActiveSearch {
 public:
  explicit ActiveSearch(const Session& session) noexcept : session_(session) {}
  ActiveSearch(const ActiveSearch&) = delete;
  ActiveSearch& operator=(const ActiveSearch&) = delete;
  ~ActiveSearch() {
    call_release<Function::FindObjectsFinal>(session_.module(), session_.handle());
  }

 private:
  const Session& session_;
};

}  // namespace

Result<std::vector<ck::CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                       std::span<const Attribute> search_template) {
  Result<EncodedTemplate> encoded = encode_template(search_template);
  if (!encoded) return std::unexpected(encoded.error());

  const ModuleContext& module = session.module();
  Result<ck::CK_C_FindObjectsInit> init = typed_entry_point<Function::FindObjectsInit>(module);
  if (!init) return std::unexpected(init.error());
  std::expected<ck::CK_ULONG, BindingError> record_count = to_ck_ulong(encoded->records.size());
  if (!record_count) return std::unexpected(record_count.error());
  Result<void> started = check_call(
      (*init)(session.handle(), encoded->records.data(), *record_count), Function::FindObjectsInit);
  if (!started) return std::unexpected(started.error());

  // From here on the search is active and ends with C_FindObjectsFinal.
  ActiveSearch search(session);
  std::array<ck::CK_OBJECT_HANDLE, OBJECT_BATCH> batch{};
  // Both start at a full batch so that the first turn fetches.
  ck::CK_ULONG fetched = OBJECT_BATCH;
  ck::CK_ULONG position = OBJECT_BATCH;
  std::vector<ck::CK_OBJECT_HANDLE> handles;
  for (;;) {
    if (position < fetched) {
      handles.push_back(batch[position]);
      ++position;
      continue;
    }
    // A batch short of OBJECT_BATCH (0 included) was the last one.
    if (fetched < OBJECT_BATCH) break;
    if (handles.size() >= MAX_FOUND_OBJECTS)
      return std::unexpected(
          BindingError{InvalidResponse{Function::FindObjects, "too many objects"}});
    fetched = 0;
    position = 0;
    batch.fill(0);
    Result<void> found =
        call<Function::FindObjects>(module, session.handle(), batch.data(), OBJECT_BATCH, &fetched);
    if (!found) return std::unexpected(found.error());
    // Never read past the batch, whatever count the module claims.
    if (fetched > OBJECT_BATCH)
      return std::unexpected(
          BindingError{InvalidResponse{Function::FindObjects, "more handles than asked for"}});
  }
  return handles;
}

Result<std::vector<Attribute>> get_attributes(const Session& session, ck::CK_OBJECT_HANDLE object,
                                              std::span<const ck::CK_ATTRIBUTE_TYPE> types) {
  const auto get_values = [&session, object](std::vector<ck::CK_ATTRIBUTE>& records) {
    Result<ck::CK_C_GetAttributeValue> get =
        typed_entry_point<Function::GetAttributeValue>(session.module());
    if (!get) return Result<void>(std::unexpected(get.error()));
    std::expected<ck::CK_ULONG, BindingError> count = to_ck_ulong(records.size());
    if (!count) return Result<void>(std::unexpected(count.error()));
    return check_call((*get)(session.handle(), object, records.data(), *count),
                      Function::GetAttributeValue);
  };
  const std::size_t k = types.size();

  // First call: fixed-size values get a buffer of their size, everything else
  // a null pointer so that the module reports the length.
  std::vector<Bytes> values(k);
  std::vector<ck::CK_ATTRIBUTE> first(k);
  for (std::size_t i = 0; i < k; ++i) {
    first[i] = ck::CK_ATTRIBUTE{types[i], nullptr, 0};
    if (const FixedAttribute* fixed = fixed_attribute(types[i])) {
      values[i].assign(fixed_size(fixed->kind), 0);
      first[i].pValue = values[i].data();
      first[i].ulValueLen = static_cast<ck::CK_ULONG>(values[i].size());
    }
  }
  Result<void> sized = get_values(first);
  if (!sized && !failed_with(sized.error(), ck::CKR_ATTRIBUTE_SENSITIVE) &&
      !failed_with(sized.error(), ck::CKR_ATTRIBUTE_TYPE_INVALID) &&
      !failed_with(sized.error(), ck::CKR_BUFFER_TOO_SMALL))
    return std::unexpected(sized.error());

  // Classify by the length the module wrote.  Whether a buffer was supplied
  // is taken from our own records, not from what the module left in pValue.
  std::vector<bool> done(k, false);
  std::vector<std::size_t> pending;
  std::vector<OutputBuffer<ck::CK_BYTE>> outputs;
  for (std::size_t i = 0; i < k; ++i) {
    const ck::CK_ULONG length = first[i].ulValueLen;
    if (length == ck::CK_UNAVAILABLE_INFORMATION) continue;
    if (!values[i].empty() && length <= values[i].size()) {
      values[i].resize(static_cast<std::size_t>(length));
      done[i] = true;
    } else {
      Result<OutputBuffer<ck::CK_BYTE>> output =
          OutputBuffer<ck::CK_BYTE>::allocate(length, ATTRIBUTE_VALUE);
      if (!output) return std::unexpected(output.error());
      pending.push_back(i);
      outputs.push_back(std::move(*output));
    }
  }

  if (!pending.empty()) {
    // Second call: exactly the reported length for each pending attribute, a
    // null pointer where that length is 0.
    std::vector<ck::CK_ATTRIBUTE> second(pending.size());
    for (std::size_t j = 0; j < pending.size(); ++j) {
      const ck::CK_ULONG length = outputs[j].length();
      second[j] =
          ck::CK_ATTRIBUTE{types[pending[j]], length == 0 ? nullptr : outputs[j].data(), length};
    }
    Result<void> read = get_values(second);
    if (!read && !failed_with(read.error(), ck::CKR_ATTRIBUTE_SENSITIVE) &&
        !failed_with(read.error(), ck::CKR_ATTRIBUTE_TYPE_INVALID))
      return std::unexpected(read.error());
    for (std::size_t j = 0; j < pending.size(); ++j) {
      if (second[j].ulValueLen == ck::CK_UNAVAILABLE_INFORMATION) continue;
      Result<Bytes> value = std::move(outputs[j]).take(second[j].ulValueLen, ATTRIBUTE_VALUE);
      if (!value) return std::unexpected(value.error());
      values[pending[j]] = std::move(*value);
      done[pending[j]] = true;
    }
  }

  std::vector<Attribute> attributes;
  for (std::size_t i = 0; i < k; ++i) {
    if (done[i]) attributes.push_back(decode_attribute(types[i], std::move(values[i])));
  }
  return attributes;
}

}  // namespace mirandel::pkcs11
