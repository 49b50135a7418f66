// The support library's UDP sender. Each send is one datagram to 127.0.0.1
// on the port given at construction. The client library does not link the
// support library; it resolves these three members by their exported names
// on first use (client/support/DelayLoad), so their signatures and the class layout
// are part of the support library's interface and must not change.
#pragma once

class CUDPSocket {
public:
    explicit CUDPSocket(unsigned short port);
    ~CUDPSocket();
    CUDPSocket(const CUDPSocket&) = delete;
    CUDPSocket& operator=(const CUDPSocket&) = delete;

    // Sends length bytes of text, or with length -1 the text up to its NUL.
    // Returns false, and never throws, when the datagram cannot be sent
    // (no socket, null text, a length below -1, too long for one datagram,
    // or the send would block).
    bool send(const char* text, int length);

private:
    // Used by the support library only: the client library's forwarding
    // members never touch them.
    [[maybe_unused]] int m_socket;
    [[maybe_unused]] unsigned short m_port;
};
