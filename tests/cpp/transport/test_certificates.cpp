#include "transport/test_certificates.hpp"

#include <openssl/x509v3.h>

#include <stdexcept>

namespace corvane::testing {
namespace {

Key new_key() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("cannot make a test key");
    return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) throw std::runtime_error("cannot make a test certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

Cert new_cert(EVP_PKEY* key, const std::string& name, X509* issuer, EVP_PKEY* issuer_key,
              long serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (issuer == nullptr) {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        // An address is named as one: a client checks an IP against the IP entries only.
        const bool address = name.find_first_not_of("0123456789.") == std::string::npos;
        add_extension(cert.get(), signer, NID_subject_alt_name,
                      ((address ? "IP:" : "DNS:") + name).c_str());
        add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    if (X509_sign(cert.get(), issuer_key, EVP_sha256()) == 0)
        throw std::runtime_error("cannot sign a test certificate");
    return cert;
}

}  // namespace

TestAuthority::TestAuthority(const std::string& name) {
    self.key = new_key();
    self.cert = new_cert(self.key.get(), name, nullptr, self.key.get(), 1);
}

Issued TestAuthority::issue(const std::string& host) const {
    Issued issued;
    issued.key = new_key();
    issued.cert = new_cert(issued.key.get(), host, self.cert.get(), self.key.get(), 2);
    return issued;
}

}  // namespace corvane::testing
