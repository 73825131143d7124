#include "core/sha256.hpp"

#include <gtest/gtest.h>

using kolvex::core::sha256_hex;

TEST(Sha256, MatchesPublishedVectors)
{
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks: the padding spills into a second one.
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, HashesEmbeddedNulBytes)
{
  EXPECT_EQ(sha256_hex(std::string("\x00\xff\x00\xff\x00\xff", 6)),
            "47e37c66767711a2c885d2042cae4b2969ec800b46bfd45d0b422e62c77c6410");
}
