// Our declarations against Debian's p11-kit pkcs11.h, an independent header.
#include <gtest/gtest.h>

#include <string>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "unit/pkcs11/layout_facts.hpp"

namespace mirandel::test {
namespace {

using namespace mirandel::ck;

#define MIRANDEL_SIZE_FACT(type) {"sizeof " #type, sizeof(type)},
#define MIRANDEL_MEMBER_FACT(type, member) {"offsetof " #type "." #member, offsetof(type, member)},
#define MIRANDEL_ENTRY_FACT(name, layout) \
  MIRANDEL_PKCS11_IF_V2_40(               \
      layout,                             \
      {"entry C_" #name,                  \
       FUNCTION_LIST_ENTRIES_OFFSET + pkcs11::index_of(pkcs11::Function::name) * sizeof(void*)}, )
#define MIRANDEL_CONSTANT_FACT(name) {#name, static_cast<unsigned long long>(name)},

const LayoutFact OUR_FACTS[] = {
    MIRANDEL_LAYOUT_TYPES(MIRANDEL_SIZE_FACT) MIRANDEL_LAYOUT_MEMBERS(MIRANDEL_MEMBER_FACT)
        MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_ENTRY_FACT){
            "sizeof CK_FUNCTION_LIST",
            FUNCTION_LIST_ENTRIES_OFFSET +
                pkcs11::entries_in(pkcs11::TableLayout::V2_40) * sizeof(void*)},
    MIRANDEL_LAYOUT_CONSTANTS(MIRANDEL_CONSTANT_FACT){"CKF_TOKEN_FLAGS_MASK", CKF_TOKEN_FLAGS_MASK},
};

TEST(CryptokiLayout, MatchesAnIndependentPkcs11Header) {
  ASSERT_EQ(std::size(OUR_FACTS), P11KIT_FACT_COUNT);
  for (std::size_t i = 0; i < P11KIT_FACT_COUNT; ++i) {
    ASSERT_EQ(std::string(OUR_FACTS[i].name), P11KIT_FACTS[i].name);
    EXPECT_EQ(OUR_FACTS[i].value, P11KIT_FACTS[i].value) << OUR_FACTS[i].name;
  }
}

}  // namespace
}  // namespace mirandel::test
