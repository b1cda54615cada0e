#include "pkcs11/objects.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "unit/pkcs11/fake_module.hpp"

namespace mirandel::pkcs11::test {
namespace {

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
      // A length beyond 256 MiB is not believed: no buffer, no second call.
      {{CKA_ID, CKA_VALUE},
       CKR_OK,
       {2, (CK_ULONG{256} << 20) + 1},
       CKR_OK,
       {},
       {},
       std::unexpected(BindingError{
           InvalidResponse{Function::GetAttributeValue, "attribute value too large"}})},
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

}  // namespace
}  // namespace mirandel::pkcs11::test
