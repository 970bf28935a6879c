#pragma once

#include <QtGlobal>

#include <memory>

// A TCP relay on 127.0.0.1 that forwards each connection to 127.0.0.1:<targetPort> and can
// cut a connection once a set number of bytes has gone from the server to the client, the way
// a dropped network link ends a download part-way. Runs on threads of its own.
namespace testsupport {

class TcpFaultProxy
{
public:
    explicit TcpFaultProxy(quint16 targetPort);
    ~TcpFaultProxy(); // closes every connection and joins every thread
    TcpFaultProxy(const TcpFaultProxy &) = delete;
    TcpFaultProxy &operator=(const TcpFaultProxy &) = delete;

    bool isListening() const;
    quint16 port() const;

    // The next connection not yet accepted is closed once this many bytes (headers included)
    // have reached the client. Several calls queue up, one per connection, in order; later
    // connections are relayed whole.
    void cutNextAfter(qint64 bytes);

    qint64 bytesToClient() const; // over all connections so far

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace testsupport
