// The mock module driven in-process: each test writes a scenario, loads one
// variant with dlopen, calls it through the p11-kit declarations, unloads it,
// and reads the call log.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "call_log.hpp"
#include "mock_module.hpp"
#include "scenario.hpp"
#include "test_files.hpp"

namespace mirandel::test {
namespace {

using GetInterfaceFn = CK_RV (*)(CK_UTF8CHAR*, CK_VERSION*, CK_INTERFACE**, CK_FLAGS);

/// One load of a mock library with its own scenario and log.
class LoadedMock {
 public:
  LoadedMock(const char* library, const Scenario& scenario) {
    scenario.write(file("scenario.txt"));
    ::setenv("MIRANDEL_MOCK_SCENARIO", file("scenario.txt").c_str(), 1);
    ::setenv("MIRANDEL_MOCK_LOG", file("calls.log").c_str(), 1);
    handle_ = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  }
  ~LoadedMock() { unload(); }

  bool loaded() const { return handle_ != nullptr; }
  bool exports(const char* name) const { return ::dlsym(handle_, name) != nullptr; }
  void* symbol(const char* name) const { return ::dlsym(handle_, name); }

  /// The list from the exported C_GetFunctionList.
  CK_FUNCTION_LIST* function_list() {
    auto get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    EXPECT_EQ(get(&list), CKR_OK);
    return list;
  }

  /// The default interface from the exported C_GetInterface.
  CK_INTERFACE* interface_record() {
    auto get = reinterpret_cast<GetInterfaceFn>(::dlsym(handle_, "C_GetInterface"));
    CK_INTERFACE* found = nullptr;
    EXPECT_EQ(get(nullptr, nullptr, &found, 0), CKR_OK);
    return found;
  }

  void unload() {
    if (handle_) ::dlclose(handle_);
    handle_ = nullptr;
  }

  CallLog log() const { return CallLog::read(file("calls.log")); }
  std::filesystem::path file(const char* name) const { return dir_.path() / name; }

 private:
  TempDir dir_{"mirandel-mock-"};
  void* handle_ = nullptr;
};

/// A list entry by index, for the entries p11-kit's 2.40 struct lacks.
mock::GenericFunction entry(const void* list, std::size_t index) {
  mock::GenericFunction f = nullptr;
  std::memcpy(&f,
              static_cast<const unsigned char*>(list) + offsetof(mock::FunctionList, entries) +
                  index * sizeof f,
              sizeof f);
  return f;
}

struct VariantCase {
  const char* library;
  bool function_list;
  bool interface_calls;
};

TEST(MockModule, ExportsTheDiscoveryEntryPointsOfItsVariantOnly) {
  const VariantCase cases[] = {
      {MIRANDEL_MOCK_FL, true, false},
      {MIRANDEL_MOCK_IF_FL, true, true},
      {MIRANDEL_MOCK_IF, false, true},
      {MIRANDEL_MOCK_NONE, false, false},
  };
  for (const VariantCase& c : cases) {
    LoadedMock mock(c.library, Scenario{});
    ASSERT_TRUE(mock.loaded()) << c.library << ": " << ::dlerror();
    EXPECT_EQ(mock.exports("C_GetFunctionList"), c.function_list) << c.library;
    EXPECT_EQ(mock.exports("C_GetInterface"), c.interface_calls) << c.library;
    EXPECT_EQ(mock.exports("C_GetInterfaceList"), c.interface_calls) << c.library;
    for (const char* name : {"C_Initialize", "C_GetSlotList", "C_FindObjects", "C_Sign"})
      EXPECT_TRUE(mock.exports(name)) << c.library << " " << name;
    EXPECT_FALSE(mock.exports("C_Encrypt")) << c.library;
    mock.unload();
    EXPECT_EQ(mock.log().names(), (std::vector<std::string>{"LOAD", "UNLOAD"})) << c.library;
  }
}

TEST(MockModule, TagsEveryCallWithTheListItCameThrough) {
  LoadedMock mock(MIRANDEL_MOCK_IF_FL, Scenario{});
  CK_FUNCTION_LIST* list = mock.function_list();
  CK_INTERFACE* found = mock.interface_record();
  auto* list3 = static_cast<CK_FUNCTION_LIST*>(found->pFunctionList);
  auto exported = reinterpret_cast<CK_C_Initialize>(mock.symbol("C_Initialize"));
  EXPECT_EQ(list->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(list3->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(exported(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  mock.unload();
  const std::vector<RecordedCall> calls = mock.log().all("C_Initialize");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].line, "C_Initialize args=null -> 0x0 via=fl");
  EXPECT_EQ(calls[1].line, "C_Initialize args=null -> 0x191 via=if");
  EXPECT_EQ(calls[2].line, "C_Initialize args=null -> 0x191 via=export");
}

struct VersionCase {
  unsigned major;
  unsigned minor;
};

TEST(MockModule, InterfaceListCarriesTheScenarioVersion) {
  for (const VersionCase v : {VersionCase{2, 40}, VersionCase{3, 0}, VersionCase{3, 1},
                              VersionCase{3, 2}, VersionCase{3, 5}, VersionCase{4, 0}}) {
    Scenario scenario;
    scenario.interface_version(v.major, v.minor);
    LoadedMock mock(MIRANDEL_MOCK_IF, scenario);
    CK_INTERFACE* found = mock.interface_record();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(found->pInterfaceName), "PKCS 11");
    const auto* version = static_cast<const CK_VERSION*>(found->pFunctionList);
    EXPECT_EQ(version->major, v.major);
    EXPECT_EQ(version->minor, v.minor);
    // Entry 69 (C_GetInterface) exists only in 3.x lists.
    if (v.major >= 3) EXPECT_NE(entry(found->pFunctionList, 69), nullptr);
  }
}

TEST(MockModule, DiscoveryCanAnswerOkWithoutAList) {
  {
    Scenario scenario;
    scenario.interface_null();
    LoadedMock mock(MIRANDEL_MOCK_IF, scenario);
    EXPECT_EQ(mock.interface_record(), nullptr);
  }
  {
    Scenario scenario;
    scenario.interface_without_list();
    LoadedMock mock(MIRANDEL_MOCK_IF, scenario);
    ASSERT_NE(mock.interface_record(), nullptr);
    EXPECT_EQ(mock.interface_record()->pFunctionList, nullptr);
  }
  {
    Scenario scenario;
    scenario.function_list_null();
    LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
    EXPECT_EQ(mock.function_list(), nullptr);
  }
}

TEST(MockModule, NullEntriesAreNullInEveryList) {
  Scenario scenario;
  scenario.null_entry("C_FindObjects").null_entry("C_Initialize");
  LoadedMock mock(MIRANDEL_MOCK_IF_FL, scenario);
  CK_FUNCTION_LIST* list = mock.function_list();
  CK_INTERFACE* found = mock.interface_record();
  for (const void* l :
       {static_cast<const void*>(list), static_cast<const void*>(found->pFunctionList)}) {
    EXPECT_EQ(entry(l, 0), nullptr);
    EXPECT_EQ(entry(l, 27), nullptr);
    EXPECT_NE(entry(l, 26), nullptr);
    EXPECT_NE(entry(l, 28), nullptr);
  }
}

TEST(MockModule, CallsBeforeInitializeAndBrokenScenariosFail) {
  {
    LoadedMock plain(MIRANDEL_MOCK_FL, Scenario{});
    CK_ULONG count = 0;
    EXPECT_EQ(plain.function_list()->C_GetSlotList(CK_TRUE, nullptr, &count),
              CKR_CRYPTOKI_NOT_INITIALIZED);
  }
  Scenario broken;
  broken.slot(1).label(std::string(33, 'x'));  // longer than the field
  LoadedMock mock(MIRANDEL_MOCK_FL, broken);
  CK_FUNCTION_LIST* list = nullptr;
  EXPECT_EQ(reinterpret_cast<CK_C_GetFunctionList>(mock.symbol("C_GetFunctionList"))(&list),
            CKR_GENERAL_ERROR);
  EXPECT_EQ(reinterpret_cast<CK_C_Initialize>(mock.symbol("C_Initialize"))(nullptr),
            CKR_GENERAL_ERROR);
  EXPECT_EQ(mock.log().count("SCENARIO-ERROR"), 1u) << mock.log().text();
}

TEST(MockModule, SlotListFollowsTheTwoCallFormAndTokensArriving) {
  Scenario scenario;
  scenario.slot(1);
  scenario.slot(2).absent();
  scenario.slot(3).appears_at(2);
  LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
  CK_FUNCTION_LIST* f = mock.function_list();
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_ULONG count = 0;
  ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 1u);
  CK_SLOT_ID slots[3] = {};
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(slots[0], 1u);
  EXPECT_EQ(slots[1], 3u);
  count = 3;
  EXPECT_EQ(f->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
  EXPECT_EQ(count, 3u);
  mock.unload();
  const std::vector<RecordedCall> calls = mock.log().all("C_GetSlotList");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].line, "C_GetSlotList present=1 list=null/0 count=0 -> 0x0 count=1 via=fl");
  EXPECT_EQ(calls[1].line, "C_GetSlotList present=1 list=buf/1 count=1 -> 0x150 count=2 via=fl");
  EXPECT_EQ(calls[2].line,
            "C_GetSlotList present=1 list=buf/2 count=2 -> 0x0 count=2 slots=1,3 via=fl");
  // A buffer that was not zero-filled is marked.
  EXPECT_EQ(calls[3].argument("list"), "buf!/3");
}

TEST(MockModule, FillsFixedWidthFieldsWithTheGivenBytesThenBlanks) {
  Scenario scenario;
  scenario.slot(7)
      .description(std::string("R\0\xff", 3))
      .label(std::string(32, '\0'))
      .token_flags(0x40)
      .utc_time("2024010112000000");
  LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
  CK_FUNCTION_LIST* f = mock.function_list();
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SLOT_INFO slot{};
  ASSERT_EQ(f->C_GetSlotInfo(7, &slot), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(slot.slotDescription), 64),
            std::string("R\0\xff", 3) + std::string(61, ' '));
  EXPECT_EQ(slot.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  CK_TOKEN_INFO token{};
  ASSERT_EQ(f->C_GetTokenInfo(7, &token), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 32), std::string(32, '\0'));
  EXPECT_EQ(token.flags, 0x40u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(token.utcTime), 16), "2024010112000000");
  EXPECT_EQ(f->C_GetSlotInfo(8, &slot), CKR_SLOT_ID_INVALID);
}

/// Opens a session on slot 1 of an initialised module.
CK_SESSION_HANDLE open_session(CK_FUNCTION_LIST* f) {
  EXPECT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  return session;
}

std::vector<CK_OBJECT_HANDLE> find_all(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                       CK_OBJECT_CLASS object_class) {
  CK_ATTRIBUTE search{CKA_CLASS, &object_class, sizeof object_class};
  EXPECT_EQ(f->C_FindObjectsInit(session, &search, 1), CKR_OK);
  std::vector<CK_OBJECT_HANDLE> found;
  CK_OBJECT_HANDLE batch[4];
  CK_ULONG count = 0;
  do {
    EXPECT_EQ(f->C_FindObjects(session, batch, 4, &count), CKR_OK);
    found.insert(found.end(), batch, batch + std::min<CK_ULONG>(count, 4));
  } while (count == 4);
  EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
  return found;
}

TEST(MockModule, SearchesInOrderAndShowsPrivateObjectsOnlyAfterLogin) {
  Scenario scenario;
  MockSlot& slot = scenario.slot(1).pin("0000");
  for (int i = 0; i < 5; ++i) slot.certificate(std::string(1, static_cast<char>(i)));
  slot.object(MockObject::certificate("x").handle(900).only_after_login());
  slot.object(MockObject::private_key().sign(true));
  LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
  CK_FUNCTION_LIST* f = mock.function_list();
  const CK_SESSION_HANDLE session = open_session(f);
  EXPECT_EQ(session, 5001u);
  EXPECT_EQ(find_all(f, session, CKO_CERTIFICATE),
            (std::vector<CK_OBJECT_HANDLE>{101, 102, 103, 104, 105}));
  CK_UTF8CHAR wrong[] = "1234";
  EXPECT_EQ(f->C_Login(session, CKU_USER, wrong, 4), CKR_PIN_INCORRECT);
  CK_UTF8CHAR pin[] = "0000";
  EXPECT_EQ(f->C_Login(session, CKU_USER, pin, 4), CKR_OK);
  EXPECT_EQ(f->C_Login(session, CKU_USER, pin, 4), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(find_all(f, session, CKO_CERTIFICATE),
            (std::vector<CK_OBJECT_HANDLE>{101, 102, 103, 104, 105, 900}));
  EXPECT_EQ(f->C_Logout(session), CKR_OK);
  EXPECT_EQ(f->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
  mock.unload();
  EXPECT_EQ(mock.log().all("C_Login")[1].line,
            "C_Login session=5001 user=1 pin=30303030 len=4 -> 0x0 via=fl");
  EXPECT_EQ(mock.log().all("C_FindObjectsInit")[0].line,
            "C_FindObjectsInit session=5001 template=[0x0=" +
                to_hex(std::string("\1\0\0\0\0\0\0\0", 8)) + "/8] count=1 -> 0x0 via=fl");
}

struct AttributeCase {
  const char* name;
  MockObject object;
  CK_RV first_rv;
  CK_ULONG first_length;
};

TEST(MockModule, AnswersAttributeReadsAsTheStandardSays) {
  const AttributeCase cases[] = {
      {"present", MockObject::certificate("abc"), CKR_OK, 3},
      {"empty", MockObject::certificate(""), CKR_OK, 0},
      {"missing", MockObject::of_class(CKO_CERTIFICATE), CKR_ATTRIBUTE_TYPE_INVALID,
       CK_UNAVAILABLE_INFORMATION},
      {"sensitive", MockObject::certificate("abc").sensitive(CKA_VALUE), CKR_ATTRIBUTE_SENSITIVE,
       CK_UNAVAILABLE_INFORMATION},
  };
  for (const AttributeCase& c : cases) {
    Scenario scenario;
    scenario.slot(1).object(c.object);
    LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
    CK_FUNCTION_LIST* f = mock.function_list();
    const CK_SESSION_HANDLE session = open_session(f);
    CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(f->C_GetAttributeValue(session, 101, &query, 1), c.first_rv) << c.name;
    EXPECT_EQ(query.ulValueLen, c.first_length) << c.name;
    if (c.first_rv != CKR_OK) continue;
    std::string small(c.first_length == 0 ? 0 : c.first_length - 1, '\0');
    CK_ATTRIBUTE too_small{CKA_VALUE, small.data(), small.size()};
    if (c.first_length > 0) {
      EXPECT_EQ(f->C_GetAttributeValue(session, 101, &too_small, 1), CKR_BUFFER_TOO_SMALL);
      EXPECT_EQ(too_small.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    }
    std::string buffer(c.first_length, '\0');
    CK_ATTRIBUTE fill{CKA_VALUE, buffer.data(), buffer.size()};
    EXPECT_EQ(f->C_GetAttributeValue(session, 101, &fill, 1), CKR_OK) << c.name;
    EXPECT_EQ(buffer, c.name == std::string("present") ? "abc" : "") << c.name;
  }
}

TEST(MockModule, ForcedAnswersApplyToTheChosenCallAndCanLie) {
  Scenario scenario;
  MockSlot& first = scenario.slot(1);
  for (int i = 0; i < 3; ++i) first.certificate("c");
  scenario.slot(2);
  scenario.force("C_GetSlotList", 1).rv(CKR_BUFFER_TOO_SMALL).count(9);
  scenario.force("C_FindObjects", 1).count(12);
  scenario.force("C_GetAttributeValue").len(9999);
  scenario.force("C_OpenSession", 2).rv(CKR_TOKEN_NOT_RECOGNIZED);
  LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
  CK_FUNCTION_LIST* f = mock.function_list();
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  CK_ULONG count = 0;
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 9u);
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 2u);
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  EXPECT_EQ(f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
            CKR_TOKEN_NOT_RECOGNIZED);
  EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  CK_OBJECT_CLASS klass = CKO_CERTIFICATE;
  CK_ATTRIBUTE search{CKA_CLASS, &klass, sizeof klass};
  ASSERT_EQ(f->C_FindObjectsInit(session, &search, 1), CKR_OK);
  // Guard entries after the two the module may write: it must not touch them.
  CK_OBJECT_HANDLE handles[4] = {0, 0, 77, 77};
  EXPECT_EQ(f->C_FindObjects(session, handles, 2, &count), CKR_OK);
  EXPECT_EQ(count, 12u);
  EXPECT_EQ(handles[2], 77u);
  char value[1] = {};
  CK_ATTRIBUTE read{CKA_VALUE, value, 1};
  EXPECT_EQ(f->C_GetAttributeValue(session, 101, &read, 1), CKR_OK);
  EXPECT_EQ(read.ulValueLen, 9999u);
  EXPECT_EQ(value[0], 'c');
  mock.unload();
  EXPECT_TRUE(mock.log().all("C_GetSlotList")[0].forced);
  EXPECT_FALSE(mock.log().all("C_GetSlotList")[1].forced);
}

TEST(MockModule, SignsWithTheConfiguredSignatureAndSizeAnswer) {
  Scenario scenario;
  scenario.slot(1).object(
      MockObject::private_key().sign(true).signature_pattern(128).size_query(256));
  scenario.slot(2).object(MockObject::private_key().handle(300).sign(true));  // echo
  LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
  CK_FUNCTION_LIST* f = mock.function_list();
  const CK_SESSION_HANDLE session = open_session(f);
  CK_UTF8CHAR pin[] = "1234";
  ASSERT_EQ(f->C_Login(session, CKU_USER, pin, 4), CKR_OK);
  CK_MECHANISM mechanism{0x40, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(session, &mechanism, 101), CKR_OK);
  CK_BYTE data[] = {1, 2};
  CK_ULONG length = 0;
  ASSERT_EQ(f->C_Sign(session, data, 2, nullptr, &length), CKR_OK);
  EXPECT_EQ(length, 256u);
  std::vector<CK_BYTE> signature(length);
  ASSERT_EQ(f->C_Sign(session, data, 2, signature.data(), &length), CKR_OK);
  EXPECT_EQ(length, 128u);
  EXPECT_EQ(signature[127], 127);
  EXPECT_EQ(f->C_Sign(session, data, 2, signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);

  CK_SESSION_HANDLE second = 0;
  ASSERT_EQ(f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &second), CKR_OK);
  ASSERT_EQ(f->C_Login(second, CKU_USER, pin, 4), CKR_OK);
  CK_MECHANISM unsupported{0x1, nullptr, 0};
  EXPECT_EQ(f->C_SignInit(second, &unsupported, 300), CKR_MECHANISM_INVALID);
  CK_MECHANISM sha512{0x42, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(second, &sha512, 300), CKR_OK);
  CK_BYTE echo[3] = {};
  length = 3;
  ASSERT_EQ(f->C_Sign(second, data, 2, echo, &length), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(echo), 3), std::string("\x42\x01\x02", 3));
  mock.unload();
  EXPECT_EQ(mock.log().all("C_Sign")[0].line,
            "C_Sign session=5001 data=0102/2 sig=null/0 -> 0x0 siglen=256 via=fl");
  EXPECT_EQ(mock.log().all("C_Sign")[1].line,
            "C_Sign session=5001 data=0102/2 sig=buf/256 -> 0x0 siglen=128 via=fl");
}

// The PIN search finds a copy of the PIN anywhere in the process's writable
// memory, and nothing once that copy is wiped. The PIN is put together here
// from its inverted bytes, so that the planted copy is the only one.
TEST(MockModule, FindsEveryCopyOfThePinInTheProcessMemory) {
  std::string pin = "Mirandel-plant-7c1e-9a40";
  for (char& c : pin) c = static_cast<char>(~static_cast<unsigned char>(c));
  for (char& c : pin) c = static_cast<char>(~static_cast<unsigned char>(c));  // planted
  Scenario scenario;
  scenario.slot(1);
  scenario.pin_scan(pin);
  LoadedMock mock(MIRANDEL_MOCK_FL, scenario);
  CK_FUNCTION_LIST* f = mock.function_list();
  const CK_SESSION_HANDLE session = open_session(f);
  auto* bytes = reinterpret_cast<CK_UTF8CHAR*>(pin.data());
  EXPECT_EQ(f->C_Login(session, CKU_USER, bytes, pin.size() - 1), CKR_PIN_INCORRECT);
  EXPECT_EQ(f->C_Login(session, CKU_USER, bytes, pin.size()), CKR_OK);
  EXPECT_EQ(f->C_Logout(session), CKR_OK);
  std::memset(pin.data(), 0, pin.size());
  mock.unload();
  const std::vector<RecordedCall> scans = mock.log().all("PIN-SCAN");
  ASSERT_EQ(scans.size(), 2u) << mock.log().text();
  // Where depends on the allocator: [heap], or an anonymous mapping under
  // AddressSanitizer.
  EXPECT_TRUE(scans[0].line.starts_with("PIN-SCAN at=C_Logout copies=1 where=")) << scans[0].line;
  EXPECT_EQ(scans[1].line, "PIN-SCAN at=unload copies=0");
}

TEST(MockModule, RecordsWhetherTheWatchedFileExistsAtUnload) {
  for (const bool exists : {false, true}) {
    const TempDir watch_dir("mirandel-mock-watch-");
    const std::filesystem::path watched = watch_dir.path() / "watched";
    if (exists) std::ofstream(watched, std::ios::binary) << "four";
    Scenario scenario;
    scenario.watch(watched.string());
    LoadedMock mock(MIRANDEL_MOCK_NONE, scenario);
    mock.unload();
    const std::vector<RecordedCall> unloads = mock.log().all("UNLOAD");
    ASSERT_EQ(unloads.size(), 1u);
    EXPECT_EQ(unloads[0].result("watch"), exists ? "4" : "absent");
  }
}

}  // namespace
}  // namespace mirandel::test
