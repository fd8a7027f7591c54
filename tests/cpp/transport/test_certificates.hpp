#pragma once
// A certificate authority and the certificates it signs, made in memory when a test runs, for TLS
// peers on loopback. Test thread only.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace corvane::testing {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

struct Issued {
    Key key;
    Cert cert;
};

class TestAuthority {
public:
    explicit TestAuthority(const std::string& name = "corvane test CA");
    X509* root() const { return self.cert.get(); }
    // A server certificate for `host` (a name or an IPv4 address, as its subject alternative
    // name), valid from now.
    Issued issue(const std::string& host) const;

private:
    Issued self;
};

}  // namespace corvane::testing
