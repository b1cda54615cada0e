// Token operations: each a fixed sequence of calls through the function table.
// Every entry point is fetched right before its call, every CK_RV goes
// through check_call, and every buffer handed to the module is zero-filled.

#include "pkcs11/token.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "secret.hpp"

namespace mirandel::pkcs11 {

namespace {

// Sizes and counts that the module reports are believed only up to these
// limits.  A module asking for more breaks the contract in a way that would
// otherwise end in an allocation failure or exhausted memory; it gets an
// InvalidResponse instead.  No real token comes near either limit.
constexpr std::size_t MAX_MODULE_BUFFER_BYTES = std::size_t{256} << 20;

// Loops that a module's answers drive are bounded too, so that no answer can
// keep the program busy for ever:
//  - the slot-list fill is repeated at most SLOT_LIST_RETRIES times while the
//    module answers CKR_BUFFER_TOO_SMALL (a token arriving between two calls
//    needs one repetition; sixteen allow for a burst of insertions);
//  - a search yields at most MAX_FOUND_OBJECTS handles, that is at most
//    MAX_FOUND_OBJECTS / OBJECT_BATCH + 1 C_FindObjects calls.  No token
//    holds that many objects (smart cards hold a few dozen, software stores
//    and trust lists a few hundred), and a module that keeps answering full
//    batches is stopped after a fraction of a second rather than after it
//    has exhausted memory.
constexpr int SLOT_LIST_RETRIES = 16;
constexpr std::size_t MAX_FOUND_OBJECTS = std::size_t{1} << 16;

/// True when `error` is a call that failed with the standard value `standard`.
bool failed_with(const BindingError& error, ck::CK_RV standard) {
  const CallFailed* failed = std::get_if<CallFailed>(&error);
  return failed != nullptr && failed->value.is(standard);
}

/// True when a buffer of `count` elements of `size` bytes stays within the limit.
bool fits_buffer_limit(ck::CK_ULONG count, std::size_t size) {
  return static_cast<unsigned long long>(count) <= MAX_MODULE_BUFFER_BYTES / size;
}

/// Fetches the entry point of F and calls it with `args`; the one path from a
/// call to its Result for the operations without special cases.
template <Function F, typename... Args>
Result<void> call(const ModuleContext& module, Args... args) {
  Result<typename EntryPointType<F>::type> entry = typed_entry_point<F>(module);
  if (!entry) return std::unexpected(entry.error());
  return check_call((*entry)(args...), F);
}

/// Calls a release function (C_FindObjectsFinal, C_CloseSession) whose
/// failure nobody hears of; a null entry is skipped.  True on CKR_OK.
template <Function F, typename... Args>
bool call_release(const ModuleContext& module, Args... args) noexcept {
  Result<typename EntryPointType<F>::type> entry = typed_entry_point<F>(module);
  if (!entry) return false;
  return check_call((*entry)(args...), F).has_value();
}

/// A fixed-width text field of CK_SLOT_INFO or CK_TOKEN_INFO, decoded.
template <std::size_t N>
std::string text_field(const ck::CK_UTF8CHAR (&field)[N]) {
  return blank_padded_text(std::span<const std::uint8_t>(field, N));
}

/// A CK_VERSION as our Version.
Version version_of(const ck::CK_VERSION& v) { return Version{v.major, v.minor}; }

/// A count that may be unavailable.
Count count_of(ck::CK_ULONG value) {
  if (value == ck::CK_UNAVAILABLE_INFORMATION) return Unavailable{};
  return value;
}

/// A session maximum that may be unavailable or effectively infinite.
MaxCount max_count_of(ck::CK_ULONG value) {
  if (value == ck::CK_UNAVAILABLE_INFORMATION) return Unavailable{};
  if (value == ck::CK_EFFECTIVELY_INFINITE) return Unlimited{};
  return value;
}

// ---- Attribute values -------------------------------------------------------

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

/// Bytes of a value of `kind` on the wire.
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

// ---- Session ----------------------------------------------------------------

Session::Session(Session&& other) noexcept
    : module_(std::move(other.module_)), handle_(other.handle_), closed_(other.closed_) {
  other.closed_ = true;
}

Session& Session::operator=(Session&& other) noexcept {
  if (this != &other) {
    close();
    module_ = std::move(other.module_);
    handle_ = other.handle_;
    closed_ = other.closed_;
    other.closed_ = true;
  }
  return *this;
}

void Session::close() noexcept {
  if (!closed_ && module_) {
    if (call_release<Function::CloseSession>(*module_, handle_)) closed_ = true;
  }
  // The reference goes whether or not C_CloseSession succeeded; the module is
  // unloaded here if this was the last one.
  module_.reset();
}

// ---- Slots and tokens ---------------------------------------------------------

Result<std::vector<ck::CK_SLOT_ID>> get_slots_with_token(const ModuleContext& module) {
  ck::CK_ULONG count = 0;
  Result<void> queried = call<Function::GetSlotList>(module, ck::CK_TRUE,
                                                     static_cast<ck::CK_SLOT_ID*>(nullptr), &count);
  if (!queried) return std::unexpected(queried.error());

  std::vector<ck::CK_SLOT_ID> buffer;
  for (int retries = 0;; ++retries) {
    if (!fits_buffer_limit(count, sizeof(ck::CK_SLOT_ID)))
      return std::unexpected(
          BindingError{InvalidResponse{Function::GetSlotList, "slot count too large"}});
    const std::size_t size = static_cast<std::size_t>(count);
    // At least one element of storage, so the pointer is never null even for
    // a count of 0; the module is told the real size.
    buffer.assign(std::max<std::size_t>(size, 1), 0);
    Result<void> filled = call<Function::GetSlotList>(module, ck::CK_TRUE, buffer.data(), &count);
    if (filled) {
      buffer.resize(std::min(size, static_cast<std::size_t>(count)));
      return buffer;
    }
    // A token arrived between the calls: `count` now holds the new size.  A
    // module that never stops growing fails with its last answer.
    if (!failed_with(filled.error(), ck::CKR_BUFFER_TOO_SMALL) || retries == SLOT_LIST_RETRIES)
      return std::unexpected(filled.error());
  }
}

Result<SlotInfo> get_slot_info(const ModuleContext& module, ck::CK_SLOT_ID slot) {
  ck::CK_SLOT_INFO raw{};
  Result<void> called = call<Function::GetSlotInfo>(module, slot, &raw);
  if (!called) return std::unexpected(called.error());
  SlotInfo info;
  info.description = text_field(raw.slotDescription);
  info.manufacturer = text_field(raw.manufacturerID);
  info.flags = raw.flags & (ck::CKF_TOKEN_PRESENT | ck::CKF_REMOVABLE_DEVICE | ck::CKF_HW_SLOT);
  info.hardware_version = version_of(raw.hardwareVersion);
  info.firmware_version = version_of(raw.firmwareVersion);
  return info;
}

Result<TokenInfo> get_token_info(const ModuleContext& module, ck::CK_SLOT_ID slot) {
  ck::CK_TOKEN_INFO raw{};
  Result<void> called = call<Function::GetTokenInfo>(module, slot, &raw);
  if (!called) return std::unexpected(called.error());
  TokenInfo info;
  info.label = text_field(raw.label);
  info.manufacturer = text_field(raw.manufacturerID);
  info.model = text_field(raw.model);
  info.serial_number = text_field(raw.serialNumber);
  info.flags = raw.flags & ck::CKF_TOKEN_FLAGS_MASK;
  info.max_session_count = max_count_of(raw.ulMaxSessionCount);
  info.session_count = count_of(raw.ulSessionCount);
  info.max_rw_session_count = max_count_of(raw.ulMaxRwSessionCount);
  info.rw_session_count = count_of(raw.ulRwSessionCount);
  info.max_pin_len = raw.ulMaxPinLen;
  info.min_pin_len = raw.ulMinPinLen;
  info.total_public_memory = count_of(raw.ulTotalPublicMemory);
  info.free_public_memory = count_of(raw.ulFreePublicMemory);
  info.total_private_memory = count_of(raw.ulTotalPrivateMemory);
  info.free_private_memory = count_of(raw.ulFreePrivateMemory);
  info.hardware_version = version_of(raw.hardwareVersion);
  info.firmware_version = version_of(raw.firmwareVersion);
  // Without the clock flag the field may hold anything and is not looked at.
  if ((raw.flags & ck::CKF_CLOCK_ON_TOKEN) != 0) {
    info.clock = decode_clock_time(std::span<const std::uint8_t, 16>(raw.utcTime));
    if (!info.clock)
      return std::unexpected(BindingError{
          InvalidResponse{Function::GetTokenInfo, "clock time is not a decimal number"}});
  }
  return info;
}

Result<Session> open_ro_session(const ModuleRef& module, ck::CK_SLOT_ID slot) {
  ck::CK_SESSION_HANDLE handle = 0;
  // Read-only: CKF_SERIAL_SESSION alone; no application data, no callback.
  Result<void> opened = call<Function::OpenSession>(*module, slot, ck::CKF_SERIAL_SESSION,
                                                    static_cast<ck::CK_VOID_PTR>(nullptr),
                                                    static_cast<ck::CK_NOTIFY>(nullptr), &handle);
  if (!opened) return std::unexpected(opened.error());
  return Session(module, handle);
}

// ---- Objects ------------------------------------------------------------------

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
    Result<ck::CK_C_FindObjects> find = typed_entry_point<Function::FindObjects>(module);
    if (!find) return std::unexpected(find.error());
    Result<void> found = check_call((*find)(session.handle(), batch.data(), OBJECT_BATCH, &fetched),
                                    Function::FindObjects);
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
  const ModuleContext& module = session.module();
  const std::size_t k = types.size();

  // First call: fixed-size values get a buffer of their size, everything else
  // a null pointer so that the module reports the length.
  std::vector<Bytes> buffers(k);
  std::vector<ck::CK_ATTRIBUTE> first(k);
  for (std::size_t i = 0; i < k; ++i) {
    first[i] = ck::CK_ATTRIBUTE{types[i], nullptr, 0};
    if (const FixedAttribute* fixed = fixed_attribute(types[i])) {
      buffers[i].assign(fixed_size(fixed->kind), 0);
      first[i].pValue = buffers[i].data();
      first[i].ulValueLen = static_cast<ck::CK_ULONG>(buffers[i].size());
    }
  }
  Result<ck::CK_C_GetAttributeValue> get = typed_entry_point<Function::GetAttributeValue>(module);
  if (!get) return std::unexpected(get.error());
  std::expected<ck::CK_ULONG, BindingError> first_count = to_ck_ulong(k);
  if (!first_count) return std::unexpected(first_count.error());
  Result<void> sized = check_call((*get)(session.handle(), object, first.data(), *first_count),
                                  Function::GetAttributeValue);
  if (!sized && !failed_with(sized.error(), ck::CKR_ATTRIBUTE_SENSITIVE) &&
      !failed_with(sized.error(), ck::CKR_ATTRIBUTE_TYPE_INVALID) &&
      !failed_with(sized.error(), ck::CKR_BUFFER_TOO_SMALL))
    return std::unexpected(sized.error());

  // Classify by the length the module wrote.  Whether a buffer was supplied
  // is taken from our own records, not from what the module left in pValue.
  enum class State : std::uint8_t { Absent, Done, Pending };
  std::vector<State> states(k, State::Absent);
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < k; ++i) {
    const ck::CK_ULONG length = first[i].ulValueLen;
    if (length == ck::CK_UNAVAILABLE_INFORMATION) continue;
    if (!buffers[i].empty() && length <= buffers[i].size()) {
      buffers[i].resize(static_cast<std::size_t>(length));
      states[i] = State::Done;
    } else {
      if (!fits_buffer_limit(length, 1))
        return std::unexpected(BindingError{
            InvalidResponse{Function::GetAttributeValue, "attribute value too large"}});
      states[i] = State::Pending;
      pending.push_back(i);
    }
  }

  if (!pending.empty()) {
    // Second call: exactly the reported length for each pending attribute, a
    // null pointer where that length is 0.
    std::vector<ck::CK_ATTRIBUTE> second(pending.size());
    for (std::size_t j = 0; j < pending.size(); ++j) {
      const std::size_t i = pending[j];
      const ck::CK_ULONG length = first[i].ulValueLen;
      buffers[i].assign(static_cast<std::size_t>(length), 0);
      second[j] = ck::CK_ATTRIBUTE{types[i], length == 0 ? nullptr : buffers[i].data(), length};
    }
    Result<ck::CK_C_GetAttributeValue> get_values =
        typed_entry_point<Function::GetAttributeValue>(module);
    if (!get_values) return std::unexpected(get_values.error());
    std::expected<ck::CK_ULONG, BindingError> second_count = to_ck_ulong(second.size());
    if (!second_count) return std::unexpected(second_count.error());
    Result<void> read =
        check_call((*get_values)(session.handle(), object, second.data(), *second_count),
                   Function::GetAttributeValue);
    if (!read && !failed_with(read.error(), ck::CKR_ATTRIBUTE_SENSITIVE) &&
        !failed_with(read.error(), ck::CKR_ATTRIBUTE_TYPE_INVALID))
      return std::unexpected(read.error());
    for (std::size_t j = 0; j < pending.size(); ++j) {
      const std::size_t i = pending[j];
      const ck::CK_ULONG length = second[j].ulValueLen;
      if (length == ck::CK_UNAVAILABLE_INFORMATION) {
        states[i] = State::Absent;
        continue;
      }
      // A longer value than the buffer we gave cannot have been written into
      // it; taking a prefix would pass a truncated value off as complete.
      if (length > buffers[i].size())
        return std::unexpected(BindingError{
            InvalidResponse{Function::GetAttributeValue, "value longer than its buffer"}});
      buffers[i].resize(static_cast<std::size_t>(length));
      states[i] = State::Done;
    }
  }

  std::vector<Attribute> attributes;
  for (std::size_t i = 0; i < k; ++i) {
    if (states[i] == State::Done)
      attributes.push_back(decode_attribute(types[i], std::move(buffers[i])));
  }
  return attributes;
}

// ---- Login and signing -----------------------------------------------------------

Result<void> login_user(const Session& session, std::span<const std::uint8_t> pin) {
  Result<ck::CK_C_Login> login = typed_entry_point<Function::Login>(session.module());
  if (!login) return std::unexpected(login.error());
  std::expected<ck::CK_ULONG, BindingError> length = to_ck_ulong(pin.size());
  if (!length) return std::unexpected(length.error());
  // The module gets a private copy of the PIN, in a buffer of its own (never
  // null, even for an empty PIN), wiped and released as soon as C_Login
  // returns, whatever it returned.
  const std::size_t size = std::max<std::size_t>(pin.size(), 1);
  std::unique_ptr<ck::CK_UTF8CHAR[]> copy(new ck::CK_UTF8CHAR[size]());
  if (!pin.empty()) std::memcpy(copy.get(), pin.data(), pin.size());
  const ck::CK_RV rv = (*login)(session.handle(), ck::CKU_USER, copy.get(), *length);
  secure_wipe(copy.get(), size);
  copy.reset();
  return check_call(rv, Function::Login);
}

Result<void> logout(const Session& session) {
  return call<Function::Logout>(session.module(), session.handle());
}

Result<Bytes> sign_data(const Session& session, ck::CK_MECHANISM_TYPE mechanism,
                        ck::CK_OBJECT_HANDLE key, std::span<const std::uint8_t> data) {
  const ModuleContext& module = session.module();
  ck::CK_MECHANISM record{mechanism, nullptr, 0};
  Result<void> initialised = call<Function::SignInit>(module, session.handle(), &record, key);
  if (!initialised) return std::unexpected(initialised.error());

  // Once C_SignInit has succeeded the operation stays active in the session
  // if we stop here; it ends with the session.
  Result<ck::CK_C_Sign> sign = typed_entry_point<Function::Sign>(module);
  if (!sign) return std::unexpected(sign.error());
  std::expected<ck::CK_ULONG, BindingError> data_length = to_ck_ulong(data.size());
  if (!data_length) return std::unexpected(data_length.error());
  // The module only reads the data, hence the const_cast; empty data still
  // goes with a valid pointer.
  static ck::CK_BYTE no_data = 0;
  ck::CK_BYTE* data_pointer = data.empty() ? &no_data : const_cast<ck::CK_BYTE*>(data.data());

  ck::CK_ULONG length = 0;
  Result<void> queried = check_call(
      (*sign)(session.handle(), data_pointer, *data_length, nullptr, &length), Function::Sign);
  if (!queried) return std::unexpected(queried.error());
  if (!fits_buffer_limit(length, 1))
    return std::unexpected(BindingError{InvalidResponse{Function::Sign, "signature too large"}});

  const std::size_t size = static_cast<std::size_t>(length);
  // At least one byte of storage: the buffer pointer is never null.
  Bytes signature(std::max<std::size_t>(size, 1), 0);
  Result<void> filled =
      check_call((*sign)(session.handle(), data_pointer, *data_length, signature.data(), &length),
                 Function::Sign);
  if (!filled) return std::unexpected(filled.error());
  // A longer signature than the buffer cannot be in it: a prefix would be a
  // corrupt signature reported as a good one.
  if (length > size)
    return std::unexpected(
        BindingError{InvalidResponse{Function::Sign, "signature longer than its buffer"}});
  signature.resize(static_cast<std::size_t>(length));
  return signature;
}

}  // namespace mirandel::pkcs11
