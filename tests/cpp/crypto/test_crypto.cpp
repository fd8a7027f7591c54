#include <gtest/gtest.h>

#include "crypto/crypto_extensions.hpp"
#include "okx/okx_requests.hpp"

namespace corvane {
namespace {

std::string from_hex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

struct HmacVector {
    std::string key_hex, data_hex, digest_hex;
};

// RFC 4231, test cases 1 to 4, 6 and 7 (case 5 is a truncated MAC).
const HmacVector kRfc4231[] = {
    {"0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "4869205468657265",
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"4a656665", "7768617420646f2079612077616e7420666f72206e6f7468696e673f",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {std::string(40, 'a'), std::string(100, 'd'),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"0102030405060708090a0b0c0d0e0f10111213141516171819", repeat("cd", 50),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {std::string(262, 'a'),
     "54657374205573696e67204c6172676572205468616e20426c6f636b2d53697a65204b6579202d2048617368"
     "204b6579204669727374",
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {std::string(262, 'a'),
     "5468697320697320612074657374207573696e672061206c6172676572207468616e20626c6f636b2d73697a"
     "65206b657920616e642061206c6172676572207468616e20626c6f636b2d73697a6520646174612e20546865"
     "206b6579206e6565647320746f20626520686173686564206265666f7265206265696e672075736564206279"
     "2074686520484d414320616c676f726974686d2e",
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

TEST(CryptoExtensions, Rfc4231VectorsAsRawBytesAndBase64) {
    const CryptoExtensions crypto;
    for (const auto& v : kRfc4231) {
        const std::string digest = crypto.CalcHmacSHA256(from_hex(v.key_hex), from_hex(v.data_hex));
        EXPECT_EQ(digest, from_hex(v.digest_hex));
        EXPECT_EQ(digest.size(), 32u);
        EXPECT_EQ(crypto.encode64(digest).size(), 44u);
        EXPECT_EQ(crypto.encode64(digest).back(), '=');
    }
    // Case 2 in Base64, as an OKX signature would carry it.
    EXPECT_EQ(crypto.encode64(crypto.CalcHmacSHA256("Jefe", "what do ya want for nothing?")),
              "W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM=");
}

TEST(CryptoExtensions, KeyIsTheFirstArgument) {
    const CryptoExtensions crypto;
    EXPECT_NE(crypto.CalcHmacSHA256("key", "message"), crypto.CalcHmacSHA256("message", "key"));
    EXPECT_EQ(crypto.CalcHmacSHA256("", "").size(), 32u);
}

TEST(CryptoExtensions, Base64PaddingFollowsTheTail) {
    const CryptoExtensions crypto;
    EXPECT_EQ(crypto.encode64(""), "");
    EXPECT_EQ(crypto.encode64("f"), "Zg==");
    EXPECT_EQ(crypto.encode64("fo"), "Zm8=");
    EXPECT_EQ(crypto.encode64("foo"), "Zm9v");
    EXPECT_EQ(crypto.encode64("foob"), "Zm9vYg==");
    EXPECT_EQ(crypto.encode64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(crypto.encode64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(crypto.encode64(std::string("\xff\xfe\x00\x80", 4)), "//4AgA==");
    EXPECT_EQ(crypto.encode64(std::string("\xfb\xff", 2)), "+/8=");
    for (std::size_t n = 0; n < 40; ++n) {
        EXPECT_EQ(crypto.encode64(std::string(n, 'x')).size(), 4 * ((n + 2) / 3));
    }
}

TEST(CryptoExtensions, Base64OfLongDataHasNoPaddingInside) {
    const CryptoExtensions crypto;
    // Two pieces of the encoder's 3 MiB and a 4-byte tail: only the very end is padded.
    const std::size_t whole = 2 * 3 * (std::size_t{1} << 20);
    std::string data(whole + 4, '\0');
    data.back() = '\xff';
    EXPECT_EQ(crypto.encode64(data), std::string(whole / 3 * 4 + 4, 'A') + "/w==");
}

TEST(OkxLoginSignature, SignsTimestampGetAndPath) {
    const CryptoExtensions crypto;
    const std::string expected =
        crypto.encode64(crypto.CalcHmacSHA256("secret", "1700000000GET/users/self/verify"));
    EXPECT_EQ(okx::login_signature("1700000000", "secret"), expected);
    EXPECT_EQ(expected.size(), 44u);
    EXPECT_EQ(okx::login_timestamp(
                  std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000999))),
              "1700000000");
}

}  // namespace
}  // namespace corvane
