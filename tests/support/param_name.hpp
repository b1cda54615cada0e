// Naming the cases of a parameterised test.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace mirandel::test {

/// Names each case after its `name` member, which must be a valid test name:
///   INSTANTIATE_TEST_SUITE_P(Table, Suite, testing::ValuesIn(CASES), test::by_name);
struct ByName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case>& info) const {
    return std::string(info.param.name);
  }
};
inline constexpr ByName by_name;

}  // namespace mirandel::test
