#include "tests/support/TestCertificates.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace TestCertificates {

namespace {

constexpr long secondsPerDay = 24 * 60 * 60;

template<auto Free> struct OpenSslFree
{
    template<typename T> void operator()(T *object) const { Free(object); }
};
using PKey = std::unique_ptr<EVP_PKEY, OpenSslFree<&EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, OpenSslFree<&X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, OpenSslFree<&X509_EXTENSION_free>>;
using Bio = std::unique_ptr<BIO, OpenSslFree<&BIO_free>>;

// Empties OpenSSL's error queue of this thread into one line.
QString openSslErrors(const QString &what)
{
    QString result = what;
    while (const unsigned long code = ERR_get_error()) {
        char text[256] = {};
        ERR_error_string_n(code, text, sizeof text);
        result += u": "_s + QString::fromLatin1(text);
    }
    return result;
}

PKey makeKey()
{
    return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

// A certificate for `key`, signed by `issuerKey` of `issuer`, or self-signed without one,
// valid from yesterday for a week.
Certificate makeCertificate(const char *commonName, EVP_PKEY *key, X509 *issuer,
                            EVP_PKEY *issuerKey,
                            std::initializer_list<std::pair<int, const char *>> extensions)
{
    Certificate certificate(X509_new());
    std::uint64_t serial = 0;
    if (!certificate || RAND_bytes(reinterpret_cast<unsigned char *>(&serial), sizeof serial) != 1)
        return {};
    X509 *const cert = certificate.get();
    X509 *const signer = issuer ? issuer : cert;
    // Positive and never zero, as serial numbers must be.
    serial = (serial >> 1) | 1;
    if (X509_set_version(cert, X509_VERSION_3) != 1 ||
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(cert), -secondsPerDay) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert), 7 * secondsPerDay) ||
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(commonName), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert, X509_get_subject_name(signer)) != 1 ||
        X509_set_pubkey(cert, key) != 1)
        return {};
    X509V3_CTX context;
    X509V3_set_ctx(&context, signer, cert, nullptr, nullptr, 0);
    for (const auto &[nid, value] : extensions) {
        const Extension extension(X509V3_EXT_nconf_nid(nullptr, &context, nid, value));
        if (!extension || X509_add_ext(cert, extension.get(), -1) != 1)
            return {};
    }
    if (X509_sign(cert, issuerKey, EVP_sha256()) <= 0)
        return {};
    return certificate;
}

QByteArray bioContents(BIO *bio)
{
    const size_t size = BIO_ctrl_pending(bio);
    QByteArray result(qsizetype(size), Qt::Uninitialized);
    if (BIO_read(bio, result.data(), int(size)) != int(size))
        return {};
    return result;
}

QByteArray certificatePem(X509 *certificate)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return {};
    return bioContents(bio.get());
}

QByteArray privateKeyPem(EVP_PKEY *key)
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    return bioContents(bio.get());
}

} // namespace

TlsMaterial makeTlsMaterial()
{
    ERR_clear_error();
    TlsMaterial result;
    const PKey caKey = makeKey();
    const PKey serverKey = makeKey();
    if (!caKey || !serverKey) {
        result.error = openSslErrors(u"cannot make an EC key"_s);
        return result;
    }
    const Certificate ca = makeCertificate("Pinlark test CA", caKey.get(), nullptr, caKey.get(),
                                           {{NID_basic_constraints, "critical,CA:TRUE"},
                                            {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                            {NID_subject_key_identifier, "hash"}});
    if (!ca) {
        result.error = openSslErrors(u"cannot make the CA certificate"_s);
        return result;
    }
    const Certificate server =
        makeCertificate("Pinlark test Vault", serverKey.get(), ca.get(), caKey.get(),
                        {{NID_basic_constraints, "critical,CA:FALSE"},
                         {NID_key_usage, "critical,digitalSignature"},
                         {NID_ext_key_usage, "serverAuth"},
                         {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                         {NID_subject_key_identifier, "hash"},
                         {NID_authority_key_identifier, "keyid:always"}});
    if (!server) {
        result.error = openSslErrors(u"cannot make the server certificate"_s);
        return result;
    }
    result.caPem = certificatePem(ca.get());
    result.certificatePem = certificatePem(server.get());
    result.keyPem = privateKeyPem(serverKey.get());
    if (result.caPem.isEmpty() || result.certificatePem.isEmpty() || result.keyPem.isEmpty())
        result.error = openSslErrors(u"cannot write the certificates as PEM"_s);
    return result;
}

} // namespace TestCertificates
