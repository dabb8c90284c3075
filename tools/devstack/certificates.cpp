#include "certificates.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace {

template<typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;

struct File {
    FILE *handle;
    ~File()
    {
        if (handle)
            std::fclose(handle);
    }
};

bool exists(const std::string &path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string openSslError(const std::string &what)
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return what + ": " + text;
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key` named `commonName`, signed by `issuerKey` as `issuer` (itself when null).
Certificate make(EVP_PKEY *key, const char *commonName, X509 *issuer, EVP_PKEY *issuerKey, bool authority)
{
    Certificate certificate(X509_new());
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_set_version(certificate.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), long(20) * 365 * 24 * 3600);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0);
    X509 *signer = issuer ? issuer : certificate.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
    X509_set_pubkey(certificate.get(), key);
    const bool extended = authority ? addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE")
            && addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign")
            && addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash")
                                    : addExtension(certificate.get(), signer, NID_basic_constraints, "CA:FALSE")
            && addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth")
            && addExtension(certificate.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost")
            && addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid");
    if (!extended || X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

bool writeKey(const std::string &path, EVP_PKEY *key)
{
    const mode_t previous = ::umask(077);
    File file{std::fopen(path.c_str(), "wx")};
    ::umask(previous);
    return file.handle && PEM_write_PrivateKey(file.handle, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool writeCertificate(const std::string &path, X509 *certificate)
{
    File file{std::fopen(path.c_str(), "w")};
    return file.handle && PEM_write_X509(file.handle, certificate) == 1;
}

} // namespace

namespace DevCertificates {

std::string ensure(const std::string &folder)
{
    const std::string caCertificate = folder + "/ca.pem";
    const std::string caKeyPath = folder + "/ca.key";
    const std::string serverCertificate = folder + "/server.pem";
    const std::string serverKeyPath = folder + "/server.key";
    ::mkdir(folder.c_str(), 0700);

    Key caKey;
    Certificate ca;
    if (exists(caCertificate) && exists(caKeyPath)) {
        File keyFile{std::fopen(caKeyPath.c_str(), "r")};
        File certificateFile{std::fopen(caCertificate.c_str(), "r")};
        if (keyFile.handle)
            caKey.reset(PEM_read_PrivateKey(keyFile.handle, nullptr, nullptr, nullptr));
        if (certificateFile.handle)
            ca.reset(PEM_read_X509(certificateFile.handle, nullptr, nullptr, nullptr));
        if (!caKey || !ca)
            return openSslError("cannot read the CA in " + folder);
    } else {
        std::remove(caKeyPath.c_str());
        std::remove(serverCertificate.c_str()); // whatever the old CA signed is worthless now
        std::remove(serverKeyPath.c_str());
        caKey.reset(EVP_EC_gen("P-256"));
        if (caKey)
            ca = make(caKey.get(), "kavo-devstack local CA", nullptr, nullptr, true);
        if (!ca || !writeKey(caKeyPath, caKey.get()) || !writeCertificate(caCertificate, ca.get()))
            return openSslError("cannot make the CA in " + folder);
    }

    if (exists(serverCertificate) && exists(serverKeyPath))
        return {};
    std::remove(serverKeyPath.c_str());
    const Key serverKey(EVP_EC_gen("P-256"));
    const Certificate server = serverKey ? make(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), false) : nullptr;
    if (!server || !writeKey(serverKeyPath, serverKey.get()) || !writeCertificate(serverCertificate, server.get()))
        return openSslError("cannot make the server certificate in " + folder);
    return {};
}

} // namespace DevCertificates
