#pragma once

#include <QByteArray>
#include <QString>

// A throw-away certificate authority and a server certificate it signed, for 127.0.0.1 and
// localhost, valid from yesterday for a week. For the loopback servers of tests and benchmarks.
namespace TestCertificates {

struct TlsMaterial
{
    QByteArray caPem;
    QByteArray certificatePem;
    QByteArray keyPem; // PKCS#8, unencrypted
    QString error;     // set when something could not be made
};

[[nodiscard]] TlsMaterial makeTlsMaterial();

} // namespace TestCertificates
