#include "support/test_tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace lumetta::testing {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ExtensionFree {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

[[noreturn]] void fail(const std::string& what) {
    const unsigned long code = ERR_get_error();
    char text[256] = "";
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    throw std::runtime_error("test TLS: " + what + (code != 0 ? std::string(": ") + text : std::string()));
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) fail("EC key generation failed");
    return key;
}

bool isIpAddress(const std::string& name) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, name.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) fail("extension " + value);
}

Certificate newCertificate(EVP_PKEY* subjectKey, const std::string& commonName,
                           const CertificateValidity& validity = {}) {
    Certificate certificate(X509_new());
    if (!certificate) fail("X509_new failed");
    X509_set_version(certificate.get(), 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) fail("RAND_bytes failed");
    serial[0] &= 0x7f;  // a positive serial number
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    if (number == nullptr || BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get())) == nullptr) {
        BN_free(number);
        fail("serial number");
    }
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), validity.notBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), validity.notAfterSeconds);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    if (X509_set_pubkey(certificate.get(), subjectKey) != 1) fail("X509_set_pubkey failed");
    return certificate;
}

std::string toPem(X509* certificate) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) fail("PEM_write_bio_X509 failed");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string toPem(EVP_PKEY* key) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        fail("PEM_write_bio_PrivateKey failed");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("test TLS: cannot write " + path.string());
}

std::string alternativeNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) text += ",";
        text += (isIpAddress(name) ? "IP:" : "DNS:") + name;
    }
    return text;
}

TlsIdentity store(X509* certificate, EVP_PKEY* key, const std::filesystem::path& directory, const std::string& stem) {
    TlsIdentity identity;
    identity.certificatePem = toPem(certificate);
    identity.privateKeyPem = toPem(key);
    identity.certificateFile = directory / (stem + ".pem");
    identity.privateKeyFile = directory / (stem + "-key.pem");
    writeText(identity.certificateFile, identity.certificatePem);
    writeText(identity.privateKeyFile, identity.privateKeyPem);
    return identity;
}

Key readKey(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) fail("PEM_read_bio_PrivateKey failed");
    return key;
}

Certificate readCertificate(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Certificate certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate) fail("PEM_read_bio_X509 failed");
    return certificate;
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) {
    Key key = newKey();
    Certificate certificate = newCertificate(key.get(), commonName);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) fail("signing the CA");
    ca_ = store(certificate.get(), key.get(), directory_.path(), "ca");
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

TlsIdentity TestCertificateAuthority::issue(const std::vector<std::string>& names, const CertificateValidity& validity) {
    if (names.empty()) throw std::invalid_argument("test TLS: a certificate needs at least one name");
    Key caKey = readKey(ca_.privateKeyPem);
    Certificate caCertificate = readCertificate(ca_.certificatePem);
    Key key = newKey();
    Certificate certificate = newCertificate(key.get(), names.front(), validity);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(caCertificate.get()));
    addExtension(certificate.get(), caCertificate.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), caCertificate.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(certificate.get(), caCertificate.get(), NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), caCertificate.get(), NID_subject_key_identifier, "hash");
    addExtension(certificate.get(), caCertificate.get(), NID_authority_key_identifier, "keyid:always");
    addExtension(certificate.get(), caCertificate.get(), NID_subject_alt_name, alternativeNames(names));
    if (X509_sign(certificate.get(), caKey.get(), EVP_sha256()) == 0) fail("signing a server certificate");
    return store(certificate.get(), key.get(), directory_.path(), "server-" + std::to_string(++issued_));
}

TlsIdentity TestCertificateAuthority::selfSigned(const std::vector<std::string>& names,
                                                 const std::filesystem::path& directory) {
    if (names.empty()) throw std::invalid_argument("test TLS: a certificate needs at least one name");
    Key key = newKey();
    Certificate certificate = newCertificate(key.get(), names.front());
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    addExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), certificate.get(), NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), certificate.get(), NID_subject_alt_name, alternativeNames(names));
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) fail("self-signing");
    return store(certificate.get(), key.get(), directory, "self-signed");
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) ::setenv(name_.c_str(), value->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
    if (previous_) ::setenv(name_.c_str(), previous_->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

}  // namespace lumetta::testing
