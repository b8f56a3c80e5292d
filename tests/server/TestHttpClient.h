#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

#include <memory>
#include <utility>

using namespace Qt::StringLiterals;

// A blocking HTTP/1.1 client on one connection, for talking to the Vault the way a stranger
// would: any method, path, header or body, with the request sent in pieces if need be. TLS is
// verified against the given CA; an empty CA means plain HTTP.
class TestHttpClient final
{
public:
    struct Answer
    {
        int status = 0;                        // 0: no answer (the connection ended or timed out)
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    TestHttpClient(quint16 port, const QByteArray &caPem)
        : m_port(port)
        , m_caPem(caPem)
    {}

    bool connect(int waitMs = 5000)
    {
        m_socket = std::make_unique<QSslSocket>();
        m_buffer.clear();
        if (m_caPem.isEmpty()) {
            m_socket->connectToHost(u"127.0.0.1"_s, m_port);
            return m_socket->waitForConnected(waitMs);
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(QSslCertificate::fromData(m_caPem));
        m_socket->setSslConfiguration(configuration);
        m_socket->connectToHostEncrypted(u"127.0.0.1"_s, m_port);
        return m_socket->waitForEncrypted(waitMs);
    }

    // Sends a whole request on the open connection (connecting first when there is none) and
    // reads its answer.
    Answer request(const QByteArray &method, const QByteArray &path, const QByteArray &body = {},
                   const QList<std::pair<QByteArray, QByteArray>> &headers = {})
    {
        if ((!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) && !connect())
            return {};
        QByteArray head = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        bool hasType = false;
        for (const auto &[name, value] : headers) {
            head += name + ": " + value + "\r\n";
            hasType = hasType || name.compare("content-type", Qt::CaseInsensitive) == 0;
        }
        if (!body.isEmpty() && !hasType)
            head += "Content-Type: application/json\r\n";
        if (!body.isEmpty() || method == "POST")
            head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        send(head + "\r\n" + body);
        return readAnswer(method == "HEAD");
    }

    void send(const QByteArray &bytes)
    {
        m_socket->write(bytes);
        while (m_socket->bytesToWrite() > 0 && m_socket->waitForBytesWritten(5000)) {
        }
    }

    // Reads one answer: the head, then a body of Content-Length bytes (none after a HEAD).
    Answer readAnswer(bool headOnly = false, int waitMs = 10'000)
    {
        Answer answer;
        qsizetype headEnd = -1;
        while ((headEnd = m_buffer.indexOf("\r\n\r\n")) < 0) {
            if (!readMore(waitMs))
                return answer;
        }
        const QList<QByteArray> lines = m_buffer.first(headEnd).split('\n');
        const QList<QByteArray> statusLine = lines.constFirst().split(' ');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                answer.headers.insert(lines[i].first(colon).trimmed().toLower(),
                                      lines[i].sliced(colon + 1).trimmed());
        }
        const qsizetype length =
            headOnly ? 0 : answer.headers.value("content-length", "0").toLongLong();
        while (m_buffer.size() < headEnd + 4 + length) {
            if (!readMore(waitMs))
                return answer;
        }
        answer.status = statusLine.value(1).toInt();
        answer.body = m_buffer.sliced(headEnd + 4, length);
        m_buffer.remove(0, headEnd + 4 + length);
        return answer;
    }

    // True once the server has closed the connection, within waitMs.
    bool waitForClose(int waitMs)
    {
        while (m_socket->state() == QAbstractSocket::ConnectedState) {
            if (!m_socket->waitForReadyRead(waitMs))
                return m_socket->state() != QAbstractSocket::ConnectedState;
            m_buffer += m_socket->readAll();
        }
        return true;
    }

    [[nodiscard]] bool isConnected() const
    {
        return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    }

private:
    bool readMore(int waitMs)
    {
        if (m_socket->bytesAvailable() == 0 && !m_socket->waitForReadyRead(waitMs))
            return false;
        m_buffer += m_socket->readAll();
        return true;
    }

    quint16 m_port;
    QByteArray m_caPem;
    std::unique_ptr<QSslSocket> m_socket;
    QByteArray m_buffer;
};
