// Byte encryption the desktop client uses to keep the stored password
// unreadable: AES-128 in counter mode with the iv as a 16-byte header.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarvik.h"

namespace {

std::vector<unsigned char> hex(const std::string& h) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

const std::vector<unsigned char> kKey = hex("2b7e151628aed2a6abf7158809cf4f3c");
const std::vector<unsigned char> kCounter = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");

TEST(Crypto, MatchesPublishedAes128CtrVectors) {
  const auto plain = hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const auto cipher = hex(
      "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
      "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee");
  std::vector<unsigned char> out(plain.size() + 16, 0xAA);
  ASSERT_EQ(tarvik_encryptBytes(out.data(), plain.data(), plain.size(), kKey.data(), kCounter.data()), 80);
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 16), kCounter);
  EXPECT_EQ(std::vector<unsigned char>(out.begin() + 16, out.end()), cipher);

  std::vector<unsigned char> back(plain.size(), 0);
  ASSERT_EQ(tarvik_decryptBytes(back.data(), out.data(), out.size(), kKey.data()), 64);
  EXPECT_EQ(back, plain);
}

TEST(Crypto, RoundTripOfOddLengthsAndSingleBitFlip) {
  unsigned char iv[16];
  ASSERT_EQ(tarvik_setRandomBytes(iv, sizeof iv), 0);
  for (unsigned len : {1u, 15u, 16u, 17u, 31u, 1000u, 4099u}) {
    std::vector<unsigned char> plain(len);
    for (unsigned i = 0; i < len; ++i) plain[i] = static_cast<unsigned char>(i * 7 + 3);
    std::vector<unsigned char> enc(len + 16);
    ASSERT_EQ(tarvik_encryptBytes(enc.data(), plain.data(), len, kKey.data(), iv), static_cast<int>(len + 16));
    EXPECT_NE(std::vector<unsigned char>(enc.begin() + 16, enc.end()), plain);

    // Flipping one ciphertext bit flips exactly that plaintext bit: CTR has
    // no diffusion and no authentication.
    const unsigned bit = (len * 8) / 2;
    enc[16 + bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    std::vector<unsigned char> dec(len);
    ASSERT_EQ(tarvik_decryptBytes(dec.data(), enc.data(), len + 16, kKey.data()), static_cast<int>(len));
    for (unsigned i = 0; i < len; ++i) {
      const unsigned char expected = i == bit / 8 ? plain[i] ^ static_cast<unsigned char>(1u << (bit % 8)) : plain[i];
      ASSERT_EQ(dec[i], expected) << "length " << len << " byte " << i;
    }
  }
}

TEST(Crypto, ZeroBytesGivesOnlyTheIv) {
  unsigned char out[32];
  std::fill(out, out + 32, 0x55);
  ASSERT_EQ(tarvik_encryptBytes(out, nullptr, 0, kKey.data(), kCounter.data()), 16);
  EXPECT_EQ(std::vector<unsigned char>(out, out + 16), kCounter);
  EXPECT_EQ(out[16], 0x55) << "nothing past the iv may be written";
  unsigned char none[1] = {0x77};
  EXPECT_EQ(tarvik_decryptBytes(none, out, 16, kKey.data()), 0);
  EXPECT_EQ(none[0], 0x77);
}

TEST(Crypto, DecryptBelowSixteenIsRejectedAndWritesNothing) {
  unsigned char in[15] = {};
  unsigned char out[16];
  std::fill(out, out + 16, 0x33);
  for (unsigned len = 0; len < 16; ++len) {
    EXPECT_EQ(tarvik_decryptBytes(out, in, len, kKey.data()), -1) << len;
  }
  for (unsigned char c : out) EXPECT_EQ(c, 0x33);
}

TEST(Crypto, MissingKeyFails) {
  unsigned char in[4] = {1, 2, 3, 4};
  unsigned char out[20];
  EXPECT_EQ(tarvik_encryptBytes(out, in, 4, nullptr, kCounter.data()), -1);
  unsigned char enc[20] = {};
  EXPECT_EQ(tarvik_decryptBytes(out, enc, 20, nullptr), -1);
}

TEST(Crypto, RandomBytesDiffer) {
  unsigned char a[32], b[32];
  ASSERT_EQ(tarvik_setRandomBytes(a, sizeof a), 0);
  ASSERT_EQ(tarvik_setRandomBytes(b, sizeof b), 0);
  EXPECT_NE(std::string(reinterpret_cast<char*>(a), 32), std::string(reinterpret_cast<char*>(b), 32));
  EXPECT_EQ(tarvik_setRandomBytes(a, 0), 0);
}

}  // namespace
