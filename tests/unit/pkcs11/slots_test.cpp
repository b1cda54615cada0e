#include "pkcs11/slots.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "unit/pkcs11/fake_module.hpp"

namespace mirandel::pkcs11::test {
namespace {

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

TEST_F(FakeModule, SlotListRefusesMoreThan4096Slots) {
  for (CK_ULONG slots : {4096ul, 4097ul, 0xFFFFFFFFul}) {
    fake.get_slot_list = [&](CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
      for (CK_ULONG i = 0; list && i < std::min(*count, slots); ++i) list[i] = i;
      *count = slots;
      return CKR_OK;
    };
    Result<std::vector<CK_SLOT_ID>> found = get_slots_with_token(*module());
    if (slots == 4096) {
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->size(), 4096u);
    } else {
      EXPECT_EQ(found, std::unexpected(BindingError(
                           InvalidResponse{Function::GetSlotList, "slot count too large"})));
    }
  }
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

std::array<std::uint8_t, 32> field32(std::string_view text, std::uint8_t pad) {
  std::array<std::uint8_t, 32> field;
  field.fill(pad);
  std::copy(text.begin(), text.end(), field.begin());
  return field;
}

TEST(BlankPaddedText, StripsTrailingBlanksOnly) {
  struct Case {
    std::array<std::uint8_t, 32> field;
    std::string text;
  };
  const Case cases[] = {
      {field32("Mirandel", ' '), "Mirandel"},
      {field32("", ' '), ""},
      {field32("  two", ' '), "  two"},
      {field32("nul", '\0'), std::string("nul") + std::string(29, '\0')},
      {field32("tab\t", ' '), "tab\t"},
      {field32("a\xFF", ' '), "a\xEF\xBF\xBD"},
      {field32("\xC3\xA8 ok", ' '), "\xC3\xA8 ok"},
  };
  for (const Case& c : cases) EXPECT_EQ(blank_padded_text(c.field), c.text);
}

TEST(DecodeClockTime, ReadsFourteenDigitsAndIgnoresTheLastTwo) {
  struct Case {
    std::string_view utc;
    std::optional<ClockTime> time;
  };
  const Case cases[] = {
      {"2024010112000000", ClockTime{2024, 1, 1, 12, 0, 0}},
      {"20241231235959zz", ClockTime{2024, 12, 31, 23, 59, 59}},
      {"+999+1+2+3+4+500", ClockTime{999, 1, 2, 3, 4, 5}},
      {"99999999999999  ", ClockTime{9999, 99, 99, 99, 99, 99}},
      {"                ", std::nullopt},
      {"2024-1011200000 ", std::nullopt},
      {"20240101 2000000", std::nullopt},
      {"++24010112000000", std::nullopt},
      {"2024+012000000 0", ClockTime{2024, 0, 12, 0, 0, 0}},
      {"20240+0112000000", std::nullopt},
      {"202401011200000x", ClockTime{2024, 1, 1, 12, 0, 0}},
      {"2024010112000x00", std::nullopt},
      {"\xEF\xBC\x92\x30"
       "010112000000",
       std::nullopt},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.utc.size(), 16u) << c.utc;
    std::array<std::uint8_t, 16> raw;
    std::copy(c.utc.begin(), c.utc.end(), raw.begin());
    EXPECT_EQ(decode_clock_time(raw), c.time) << c.utc;
  }
}

}  // namespace
}  // namespace mirandel::pkcs11::test
