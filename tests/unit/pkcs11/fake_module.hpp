// An in-process stand-in for a vendor module: a ModuleContext whose function
// table points at trampolines into per-test lambdas, with every call recorded
// by name.  Lets the token operations be tested call by call.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pkcs11/module.hpp"

namespace mirandel::pkcs11::test {

using namespace mirandel::ck;

/// The behaviour of each entry point; unset ones answer CKR_OK.
struct Fake {
  std::vector<std::string> calls;
  std::function<CK_RV(CK_VOID_PTR)> initialize;
  std::function<CK_RV(CK_BBOOL, CK_SLOT_ID*, CK_ULONG*)> get_slot_list;
  std::function<CK_RV(CK_SLOT_ID, CK_SLOT_INFO*)> get_slot_info;
  std::function<CK_RV(CK_SLOT_ID, CK_TOKEN_INFO*)> get_token_info;
  std::function<CK_RV(CK_SLOT_ID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE*)>
      open_session;
  std::function<CK_RV(CK_SESSION_HANDLE)> close_session;
  std::function<CK_RV(CK_SESSION_HANDLE, CK_ATTRIBUTE*, CK_ULONG)> find_objects_init;
  std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE*, CK_ULONG, CK_ULONG*)> find_objects;
  std::function<CK_RV(CK_SESSION_HANDLE)> find_objects_final;
  std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE*, CK_ULONG)>
      get_attribute_value;
  std::function<CK_RV(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR*, CK_ULONG)> login;
  std::function<CK_RV(CK_SESSION_HANDLE)> logout;
  std::function<CK_RV(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE)> sign_init;
  std::function<CK_RV(CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*)> sign;
};

inline Fake* current_fake = nullptr;

/// The names of the calls made, in order.
using Calls = std::vector<std::string>;

inline BindingError call_failed(Function f, CK_RV rv) {
  return CallFailed{f, {ReturnValue::Kind::Standard, rv}};
}

template <Function F, auto Member, typename Fn = typename EntryPointType<F>::type>
struct Trampoline;
template <Function F, auto Member, typename... Args>
struct Trampoline<F, Member, CK_RV (*)(Args...)> {
  static CK_RV call(Args... args) {
    current_fake->calls.emplace_back(function_name(F));
    auto& behaviour = current_fake->*Member;
    return behaviour ? behaviour(args...) : CKR_OK;
  }
};

/// Fixture: `fake` is live for the test; `module()` builds a context on it.
class FakeModule : public ::testing::Test {
 protected:
  void SetUp() override { current_fake = &fake; }
  void TearDown() override { current_fake = nullptr; }

  /// A context whose table holds every trampoline except `null_entries`.
  ModuleRef module(std::initializer_list<Function> null_entries = {}) {
    FunctionTable table;
    set<Function::Initialize, &Fake::initialize>(table);
    set<Function::GetSlotList, &Fake::get_slot_list>(table);
    set<Function::GetSlotInfo, &Fake::get_slot_info>(table);
    set<Function::GetTokenInfo, &Fake::get_token_info>(table);
    set<Function::OpenSession, &Fake::open_session>(table);
    set<Function::CloseSession, &Fake::close_session>(table);
    set<Function::FindObjectsInit, &Fake::find_objects_init>(table);
    set<Function::FindObjects, &Fake::find_objects>(table);
    set<Function::FindObjectsFinal, &Fake::find_objects_final>(table);
    set<Function::GetAttributeValue, &Fake::get_attribute_value>(table);
    set<Function::Login, &Fake::login>(table);
    set<Function::Logout, &Fake::logout>(table);
    set<Function::SignInit, &Fake::sign_init>(table);
    set<Function::Sign, &Fake::sign>(table);
    for (Function f : null_entries) table.entries[index_of(f)] = nullptr;
      // Any loaded library will do as the context's handle.
#if defined(_WIN32)
    const char* library_name = "kernel32.dll";
#else
    const char* library_name = "libc.so.6";
#endif
    auto library = platform::DynamicLibrary::open(library_name);
    if (!library) throw std::runtime_error(std::string("cannot load ") + library_name);
    return std::make_shared<ModuleContext>(std::move(*library),
                                           std::array<EntryPointLookup, FUNCTION_COUNT>{}, table);
  }

  Fake fake;

 private:
  template <Function F, auto Member>
  static void set(FunctionTable& table) {
    table.entries[index_of(F)] =
        reinterpret_cast<platform::GenericFunction>(&Trampoline<F, Member>::call);
  }
};

}  // namespace mirandel::pkcs11::test
