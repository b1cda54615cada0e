#include "pkcs11/token.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "unit/pkcs11/fake_module.hpp"

namespace mirandel::pkcs11::test {
namespace {

using Calls = std::vector<std::string>;

BindingError call_failed(Function f, CK_RV rv) {
  return CallFailed{f, {ReturnValue::Kind::Standard, rv}};
}

TEST_F(FakeModule, InitializeAsksForOsLockingAndRefusesAnAlreadyInitialisedModule) {
  fake.initialize = [](CK_VOID_PTR raw) {
    const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(raw);
    EXPECT_TRUE(!args->CreateMutex && !args->DestroyMutex && !args->LockMutex &&
                !args->UnlockMutex);
    EXPECT_EQ(args->flags, CKF_OS_LOCKING_OK);
    EXPECT_EQ(args->pReserved, nullptr);
    return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  };
  ModuleRef m = module();
  EXPECT_EQ(initialize_module(*m), std::unexpected(call_failed(Function::Initialize, 0x191)));
  EXPECT_EQ(initialize_module(*module({Function::Initialize})),
            std::unexpected(BindingError(NullEntryPoint{})));
  EXPECT_EQ(fake.calls, (Calls{"Initialize"}));
}

// CKR_CANT_LOCK to CKF_OS_LOCKING_OK earns exactly one more call, with a null
// argument; every other answer, and the second answer, is final.
TEST_F(FakeModule, InitializeRetriesOnceWithoutArgumentsWhenTheModuleCannotLock) {
  struct Case {
    std::vector<CK_RV> answers;
    Result<void> result;
  };
  const Case cases[] = {
      {{CKR_CANT_LOCK, CKR_OK}, {}},
      {{CKR_CANT_LOCK, CKR_CANT_LOCK}, std::unexpected(call_failed(Function::Initialize, 0xA))},
      {{CKR_CANT_LOCK, 0x7}, std::unexpected(call_failed(Function::Initialize, 0x7))},
      {{0x5}, std::unexpected(call_failed(Function::Initialize, 0x5))},
      {{CKR_OK}, {}},
  };
  for (const Case& c : cases) {
    std::vector<bool> null_argument;
    fake.initialize = [&](CK_VOID_PTR args) {
      null_argument.push_back(args == nullptr);
      return c.answers.at(null_argument.size() - 1);
    };
    EXPECT_EQ(initialize_module(*module()), c.result);
    std::vector<bool> expected(c.answers.size(), true);
    expected[0] = false;
    EXPECT_EQ(null_argument, expected) << c.answers.size() << " answers";
  }
}

TEST_F(FakeModule, SlotListRetriesTheFillAndKeepsWithinItsBuffer) {
  struct Answer {
    CK_RV rv;
    CK_ULONG count;
  };
  struct Case {
    std::vector<Answer> answers;  // first the size query, then each fill
    std::vector<CK_ULONG> counts_passed;
    Result<std::vector<CK_SLOT_ID>> result;
  };
  const Case cases[] = {
      {{{CKR_OK, 0}, {CKR_OK, 0}}, {0, 0}, std::vector<CK_SLOT_ID>{}},
      {{{CKR_OK, 1}, {CKR_BUFFER_TOO_SMALL, 2}, {CKR_OK, 2}},
       {0, 1, 2},
       std::vector<CK_SLOT_ID>{100, 101}},
      {{{CKR_OK, 2}, {CKR_OK, 5}}, {0, 2}, std::vector<CK_SLOT_ID>{100, 101}},
      {{{CKR_OK, 1}, {0x30, 1}}, {0, 1}, std::unexpected(call_failed(Function::GetSlotList, 0x30))},
  };
  for (const Case& c : cases) {
    std::size_t turn = 0;
    std::vector<CK_ULONG> counts_passed;
    fake.get_slot_list = [&](CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
      EXPECT_EQ(present, CK_TRUE);
      EXPECT_EQ(list == nullptr, turn == 0) << "only the size query has no buffer";
      counts_passed.push_back(*count);
      const Answer& a = c.answers.at(turn++);
      for (CK_ULONG i = 0; list && i < std::min(*count, a.count); ++i) list[i] = 100 + i;
      *count = a.count;
      return a.rv;
    };
    EXPECT_EQ(get_slots_with_token(*module()), c.result);
    EXPECT_EQ(counts_passed, c.counts_passed);
  }
}

// Loops driven by the module's answers end however the module answers.
TEST_F(FakeModule, SlotListGivesUpAfterSixteenRetriesOfTheFill) {
  CK_ULONG calls = 0;
  fake.get_slot_list = [&](CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
    ++calls;
    *count = calls;  // one more token every time
    return list == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
  };
  EXPECT_EQ(get_slots_with_token(*module()),
            std::unexpected(call_failed(Function::GetSlotList, CKR_BUFFER_TOO_SMALL)));
  EXPECT_EQ(calls, 1u + 1u + 16u);  // the size query, the fill and sixteen retries

  // The sixteenth retry may still succeed.
  calls = 0;
  fake.get_slot_list = [&](CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
    ++calls;
    if (list != nullptr && calls == 18) {
      list[0] = 7;
      *count = 1;
      return CKR_OK;
    }
    *count = 1;
    return list == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
  };
  EXPECT_EQ(get_slots_with_token(*module()), std::vector<CK_SLOT_ID>{7});
}

TEST_F(FakeModule, FindObjectsStopsAModuleThatNeverEndsTheSearch) {
  std::size_t batches = 0;
  fake.find_objects = [&](CK_SESSION_HANDLE, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG* n) {
    ++batches;
    for (CK_ULONG i = 0; i < max; ++i) out[i] = 1;
    *n = max;
    return CKR_OK;
  };
  Session session(module(), 1);
  EXPECT_EQ(
      find_objects(session, {}),
      std::unexpected(BindingError(InvalidResponse{Function::FindObjects, "too many objects"})));
  EXPECT_EQ(batches, 65536u / OBJECT_BATCH + 1);
  EXPECT_EQ(fake.calls.back(), "FindObjectsFinal");
}

TEST_F(FakeModule, TokenInfoDecodesTheClockOnlyWithItsFlag) {
  struct Case {
    CK_FLAGS flags;
    const char* utc;
    std::optional<ClockTime> clock;
    bool ok;
  };
  const Case cases[] = {
      {CKF_CLOCK_ON_TOKEN, "2024010112000000", ClockTime{2024, 1, 1, 12, 0, 0}, true},
      {CKF_CLOCK_ON_TOKEN, "                ", std::nullopt, false},
      {0, "garbage!garbage!", std::nullopt, true},
  };
  for (const Case& c : cases) {
    fake.get_token_info = [&](CK_SLOT_ID, CK_TOKEN_INFO* info) {
      std::memcpy(info->label, "Firma                           ", 32);
      info->flags = c.flags | 0x80000000;
      info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
      info->ulSessionCount = CK_UNAVAILABLE_INFORMATION;
      std::memcpy(info->utcTime, c.utc, 16);
      return CKR_OK;
    };
    Result<TokenInfo> info = get_token_info(*module(), 1);
    ASSERT_EQ(info.has_value(), c.ok) << c.utc;
    if (!info) {
      EXPECT_TRUE(std::holds_alternative<InvalidResponse>(info.error()));
      continue;
    }
    EXPECT_EQ(info->label, "Firma");
    EXPECT_EQ(info->flags, c.flags);
    EXPECT_EQ(info->max_session_count, MaxCount(Unlimited{}));
    EXPECT_EQ(info->session_count, Count(Unavailable{}));
    EXPECT_EQ(info->clock, c.clock);
  }
}

TEST_F(FakeModule, SessionIsReadOnlyAndClosesOnceWhenItsOwnerLetsGo) {
  fake.open_session = [](CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                         CK_SESSION_HANDLE* handle) {
    EXPECT_EQ(slot, 5u);
    EXPECT_EQ(flags, CKF_SERIAL_SESSION);
    EXPECT_TRUE(app == nullptr && notify == nullptr);
    *handle = 42;
    return CKR_OK;
  };
  std::vector<CK_SESSION_HANDLE> closed;
  fake.close_session = [&](CK_SESSION_HANDLE h) {
    closed.push_back(h);
    return CKR_OK;
  };
  {
    Result<Session> opened = open_ro_session(module(), 5);
    ASSERT_TRUE(opened.has_value());
    Session moved = std::move(*opened);
    Session assigned = std::move(moved);
  }
  EXPECT_EQ(closed, (std::vector<CK_SESSION_HANDLE>{42}));

  // A failing close is not retried, and a null entry is skipped.
  fake.close_session = [](CK_SESSION_HANDLE) { return CK_RV{0xB3}; };
  Session failing(module(), 7);
  failing.close();
  failing.close();
  { Session no_entry(module({Function::CloseSession}), 8); }
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CloseSession"), 2);
}

TEST_F(FakeModule, FindObjectsFetchesInBatchesAndAlwaysEndsTheSearch) {
  struct Case {
    CK_ULONG objects;
    std::size_t find_calls;
  };
  for (Case c : {Case{0, 1}, Case{7, 1}, Case{10, 2}, Case{25, 3}}) {
    fake.calls.clear();
    CK_ULONG next = 0;
    fake.find_objects = [&](CK_SESSION_HANDLE, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG* n) {
      EXPECT_EQ(max, OBJECT_BATCH);
      *n = std::min(max, c.objects - next);
      for (CK_ULONG i = 0; i < *n; ++i) out[i] = ++next;
      return CKR_OK;
    };
    Session session(module(), 1);
    Result<std::vector<CK_OBJECT_HANDLE>> found = find_objects(session, {});
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->size(), c.objects);
    EXPECT_TRUE(std::is_sorted(found->begin(), found->end()));
    Calls expected{"FindObjectsInit"};
    expected.insert(expected.end(), c.find_calls, "FindObjects");
    expected.push_back("FindObjectsFinal");
    EXPECT_EQ(fake.calls, expected) << c.objects << " objects";
  }
}

TEST_F(FakeModule, FindObjectsFailuresDiscardHandlesAndStillEndTheSearch) {
  const auto full_then = [](CK_RV second_rv, CK_ULONG second_count) {
    return [=, turn = 0](CK_SESSION_HANDLE, CK_OBJECT_HANDLE*, CK_ULONG, CK_ULONG* n) mutable {
      *n = turn++ == 0 ? OBJECT_BATCH : second_count;
      return turn == 1 ? CKR_OK : second_rv;
    };
  };
  struct Case {
    std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE*, CK_ULONG, CK_ULONG*)> find;
    std::initializer_list<Function> null_entries;
    CK_RV init_rv;
    BindingError error;
    Calls calls;
  };
  const Case cases[] = {
      {full_then(0x30, 0),
       {},
       CKR_OK,
       call_failed(Function::FindObjects, 0x30),
       {"FindObjectsInit", "FindObjects", "FindObjects", "FindObjectsFinal"}},
      {full_then(CKR_OK, 11),
       {},
       CKR_OK,
       InvalidResponse{Function::FindObjects, "more handles than asked for"},
       {"FindObjectsInit", "FindObjects", "FindObjects", "FindObjectsFinal"}},
      {nullptr,
       {Function::FindObjects},
       CKR_OK,
       NullEntryPoint{},
       {"FindObjectsInit", "FindObjectsFinal"}},
      {nullptr, {}, 0x30, call_failed(Function::FindObjectsInit, 0x30), {"FindObjectsInit"}},
  };
  for (const Case& c : cases) {
    fake.calls.clear();
    fake.find_objects = c.find;
    fake.find_objects_init = [&](CK_SESSION_HANDLE, CK_ATTRIBUTE*, CK_ULONG) { return c.init_rv; };
    Session session(module(c.null_entries), 1);
    EXPECT_EQ(find_objects(session, {}), std::unexpected(c.error));
    EXPECT_EQ(fake.calls, c.calls);
  }
}

TEST_F(FakeModule, SearchTemplateEncodesEachValueKind) {
  const Attribute search[] = {class_attribute(CKO_PRIVATE_KEY), sign_attribute(true),
                              id_attribute({}), value_attribute({0xAB, 0xCD})};
  fake.find_objects_init = [](CK_SESSION_HANDLE, CK_ATTRIBUTE* records, CK_ULONG count) {
    EXPECT_EQ(count, 4u);
    CK_ULONG class_value;
    std::memcpy(&class_value, records[0].pValue, sizeof class_value);
    EXPECT_EQ(records[0].ulValueLen, sizeof(CK_ULONG));
    EXPECT_EQ(class_value, CKO_PRIVATE_KEY);
    EXPECT_EQ(records[1].ulValueLen, 1u);
    EXPECT_EQ(*static_cast<CK_BBOOL*>(records[1].pValue), CK_TRUE);
    EXPECT_EQ(records[2].type, CKA_ID);
    EXPECT_TRUE(records[2].pValue == nullptr && records[2].ulValueLen == 0);
    EXPECT_EQ(records[3].ulValueLen, 2u);
    EXPECT_EQ(static_cast<CK_BYTE*>(records[3].pValue)[1], 0xCD);
    return CKR_OK;
  };
  fake.find_objects = [](CK_SESSION_HANDLE, CK_OBJECT_HANDLE*, CK_ULONG, CK_ULONG* n) {
    *n = 0;
    return CKR_OK;
  };
  Session session(module(), 1);
  EXPECT_TRUE(find_objects(session, search).has_value());
}

// The module's answers to the two C_GetAttributeValue calls, record by record:
// a length per requested attribute (first call) or per pending one (second).
struct AttributeCase {
  std::vector<CK_ATTRIBUTE_TYPE> request;
  CK_RV first_rv;
  std::vector<CK_ULONG> first_lengths;
  CK_RV second_rv;
  std::vector<CK_ULONG> second_lengths;
  std::vector<CK_ATTRIBUTE_TYPE> second_types;  // what the second call must carry
  Result<std::vector<Attribute>> result;
};

TEST_F(FakeModule, GetAttributesReadsLengthsThenValues) {
  const CK_ULONG NA = CK_UNAVAILABLE_INFORMATION;
  const AttributeCase cases[] = {
      // Object without CKA_ID: only the value is fetched and returned.
      {{CKA_VALUE, CKA_ID},
       CKR_ATTRIBUTE_TYPE_INVALID,
       {3, NA},
       CKR_OK,
       {3},
       {CKA_VALUE},
       std::vector<Attribute>{value_attribute({1, 2, 3})}},
      // An empty value goes to the second call with a null pointer.
      {{CKA_VALUE},
       CKR_OK,
       {0},
       CKR_OK,
       {0},
       {CKA_VALUE},
       std::vector<Attribute>{value_attribute({})}},
      // Sensitive in the second call: left out.
      {{CKA_VALUE, CKA_ID},
       CKR_OK,
       {3, 2},
       CKR_ATTRIBUTE_SENSITIVE,
       {NA, 2},
       {CKA_VALUE, CKA_ID},
       std::vector<Attribute>{id_attribute({1, 2})}},
      // A fixed-size value is complete after the first call.
      {{CKA_SIGN}, CKR_OK, {1}, CKR_OK, {}, {}, std::vector<Attribute>{sign_attribute(true)}},
      {{CKA_VALUE},
       CKR_OK,
       {3},
       CKR_BUFFER_TOO_SMALL,
       {3},
       {CKA_VALUE},
       std::unexpected(call_failed(Function::GetAttributeValue, CKR_BUFFER_TOO_SMALL))},
      {{CKA_VALUE},
       CKR_OK,
       {3},
       CKR_OK,
       {4},
       {CKA_VALUE},
       std::unexpected(BindingError{
           InvalidResponse{Function::GetAttributeValue, "value longer than its buffer"}})},
      {{CKA_VALUE},
       0x30,
       {3},
       CKR_OK,
       {},
       {},
       std::unexpected(call_failed(Function::GetAttributeValue, 0x30))},
  };
  for (const AttributeCase& c : cases) {
    int turn = 0;
    fake.get_attribute_value = [&](CK_SESSION_HANDLE, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* t,
                                   CK_ULONG n) {
      EXPECT_EQ(object, 9u);
      const bool first = turn++ == 0;
      const std::vector<CK_ULONG>& lengths = first ? c.first_lengths : c.second_lengths;
      EXPECT_EQ(n, lengths.size());
      for (CK_ULONG i = 0; i < n; ++i) {
        if (first) {
          EXPECT_EQ(t[i].type, c.request[i]);
        } else {
          EXPECT_EQ(t[i].type, c.second_types.at(i));
          EXPECT_EQ(t[i].pValue == nullptr, t[i].ulValueLen == 0);
        }
        // Write the value when it fits, as a module would: bytes 1, 2, 3, ...
        if (t[i].pValue && lengths[i] != CK_UNAVAILABLE_INFORMATION &&
            lengths[i] <= t[i].ulValueLen)
          for (CK_ULONG b = 0; b < lengths[i]; ++b) static_cast<CK_BYTE*>(t[i].pValue)[b] = b + 1;
        t[i].ulValueLen = lengths[i];
      }
      return first ? c.first_rv : c.second_rv;
    };
    Session session(module(), 1);
    EXPECT_EQ(get_attributes(session, 9, c.request), c.result);
  }
}

TEST_F(FakeModule, LoginHandsAPrivateCopyOfThePin) {
  const std::uint8_t pin[] = {'1', '2', '3', '4'};
  fake.login = [&](CK_SESSION_HANDLE, CK_USER_TYPE user, CK_UTF8CHAR* p, CK_ULONG n) {
    EXPECT_EQ(user, CKU_USER);
    EXPECT_NE(p, pin);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p), n), "1234");
    return CKR_USER_ALREADY_LOGGED_IN;
  };
  Session session(module(), 1);
  EXPECT_EQ(login_user(session, pin), std::unexpected(call_failed(Function::Login, 0x100)));
}

TEST_F(FakeModule, SignQueriesTheLengthThenFillsAZeroedBuffer) {
  struct Case {
    CK_ULONG queried;
    CK_ULONG written;
    Result<Bytes> result;
  };
  const Case cases[] = {
      {256, 128, Bytes(128, 0x5A)},
      {0, 0, Bytes{}},
      {64, 65,
       std::unexpected(
           BindingError{InvalidResponse{Function::Sign, "signature longer than its buffer"}})},
  };
  const std::uint8_t data[] = {'d', 'a', 't', 'a'};
  for (const Case& c : cases) {
    fake.sign_init = [](CK_SESSION_HANDLE, CK_MECHANISM* m, CK_OBJECT_HANDLE key) {
      EXPECT_TRUE(m->mechanism == CKM_SHA384_RSA_PKCS && m->pParameter == nullptr &&
                  m->ulParameterLen == 0 && key == 3);
      return CKR_OK;
    };
    int turn = 0;
    fake.sign = [&](CK_SESSION_HANDLE, CK_BYTE* d, CK_ULONG n, CK_BYTE* out, CK_ULONG* length) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(d), n), "data");
      if (turn++ == 0) {
        EXPECT_EQ(out, nullptr);
        *length = c.queried;
        return CKR_OK;
      }
      EXPECT_NE(out, nullptr);
      EXPECT_EQ(*length, c.queried);
      EXPECT_TRUE(std::all_of(out, out + *length, [](CK_BYTE b) { return b == 0; }));
      std::fill(out, out + std::min(c.queried, c.written), CK_BYTE{0x5A});
      *length = c.written;
      return CKR_OK;
    };
    Session session(module(), 1);
    EXPECT_EQ(sign_data(session, CKM_SHA384_RSA_PKCS, 3, data), c.result);
    EXPECT_EQ(turn, 2);
  }
  fake.calls.clear();
  Session session(module({Function::Sign}), 1);
  EXPECT_EQ(sign_data(session, CKM_SHA384_RSA_PKCS, 3, data),
            std::unexpected(BindingError(NullEntryPoint{})));
  EXPECT_EQ(fake.calls, (Calls{"SignInit"}));
}

}  // namespace
}  // namespace mirandel::pkcs11::test
