#include "pkcs11/session.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "unit/pkcs11/fake_module.hpp"

namespace mirandel::pkcs11::test {
namespace {

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

TEST_F(FakeModule, LoginHandsAPrivateCopyOfThePin) {
  const std::uint8_t pin[] = {'1', '2', '3', '4'};
  fake.login = [&](CK_SESSION_HANDLE, CK_USER_TYPE user, CK_UTF8CHAR* p, CK_ULONG n) {
    EXPECT_EQ(user, CKU_USER);
    EXPECT_NE(p, pin);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(p), n), "1234");
    return CKR_USER_ALREADY_LOGGED_IN;
  };
  Session session(module(), 1);
  EXPECT_EQ(login_user(session, {pin}), std::unexpected(call_failed(Function::Login, 0x100)));
}

/// C_SignInit, then C_Sign twice, as the signing run calls them.
Result<Bytes> sign_data(const Session& session, const Mechanism& mechanism, CK_OBJECT_HANDLE key,
                        std::span<const std::uint8_t> data) {
  Result<void> initialised = sign_init(session, mechanism, key);
  if (!initialised) return std::unexpected(initialised.error());
  return sign(session, data);
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
