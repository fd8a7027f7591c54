#include "crypto/crypto_extensions.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace corvane {
namespace {

// EVP_EncodeBlock takes an int length: longer data goes in whole 3-byte groups, so the pieces'
// encodings join with no padding between them.
constexpr std::size_t kEncodeChunk = 3 * (1 << 20);

}  // namespace

std::string CryptoExtensions::encode64(const std::string& data) const {
    std::string out;
    for (std::size_t at = 0; at < data.size(); at += kEncodeChunk) {
        const std::size_t n = std::min(kEncodeChunk, data.size() - at);
        const std::size_t start = out.size();
        out.resize(start + (n + 2) / 3 * 4 + 1);  // EVP_EncodeBlock writes a closing NUL
        const int written =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[start]),
                            reinterpret_cast<const unsigned char*>(data.data() + at),
                            static_cast<int>(n));
        out.resize(start + static_cast<std::size_t>(written));
    }
    return out;
}

std::string CryptoExtensions::CalcHmacSHA256(std::string key, std::string data) const {
    if (key.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::length_error("HMAC key longer than 2147483647 bytes");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace corvane
