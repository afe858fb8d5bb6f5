#pragma once
// Throw-away certificates for tests that talk TLS over loopback or a LAN of veth pairs.
//
// A `TestCertificateAuthority` makes a fresh CA key and certificate in a temporary directory;
// `issue` signs a server certificate for the addresses a test binds (IP literals become IP
// subject-alternative names, other texts DNS names). Clients trust the CA through its PEM file,
// for the player's transfers by pointing SSL_CERT_FILE at `caFile()`:
//
//     TestCertificateAuthority authority;
//     TlsIdentity identity = authority.issue({"127.0.0.1"});
//     ScopedEnvironmentVariable trust("SSL_CERT_FILE", authority.caFile().string());
//
// Keys are EC P-256 and certificates valid from a day ago to thirty days ahead, so every test
// machine accepts them at once.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace lumetta::testing {

// When a certificate is valid, in seconds from now (negative: in the past).
struct CertificateValidity {
    long notBeforeSeconds = -24L * 3600;
    long notAfterSeconds = 30L * 24 * 3600;
};

// A certificate with its private key, both as PEM text and as files.
struct TlsIdentity {
    std::string certificatePem;
    std::string privateKeyPem;
    std::filesystem::path certificateFile;
    std::filesystem::path privateKeyFile;
};

class TestCertificateAuthority {
public:
    // `commonName` names the CA in its subject; two authorities never trust each other's
    // certificates, whatever their names.
    explicit TestCertificateAuthority(const std::string& commonName = "lumetta test CA");
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    // The CA certificate (PEM): what a client is told to trust.
    const std::filesystem::path& caFile() const { return ca_.certificateFile; }
    const std::string& caPem() const { return ca_.certificatePem; }

    // A server certificate signed by this CA for `names` (at least one): "127.0.0.1", "::1",
    // "10.0.0.2" become IP names, anything else a DNS name. The first name is the subject's
    // common name. Files are written into this authority's directory. `validity` makes, say,
    // an expired certificate.
    TlsIdentity issue(const std::vector<std::string>& names, const CertificateValidity& validity = {});

    // A certificate for `names` that signs itself: a server a client must refuse.
    static TlsIdentity selfSigned(const std::vector<std::string>& names, const std::filesystem::path& directory);

private:
    TempDir directory_;
    TlsIdentity ca_;
    int issued_ = 0;
};

// Sets (or with nullopt removes) an environment variable and restores the old state when it goes.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace lumetta::testing
