#include "toolbox/CUDPSocket.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

CUDPSocket::CUDPSocket(unsigned short port)
    : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), m_port(port)
{
}

CUDPSocket::~CUDPSocket()
{
    if (m_socket >= 0) {
        ::close(m_socket);
    }
}

bool CUDPSocket::send(const char* text, int length)
{
    if (m_socket < 0 || text == nullptr || length < -1) {
        return false;
    }
    const std::size_t bytes = length == -1 ? std::strlen(text) : static_cast<std::size_t>(length);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A notice is best effort: never stall the caller when the socket buffer
    // is full, and never raise SIGPIPE.
    const ssize_t sent = ::sendto(m_socket, text, bytes, MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent >= 0 && static_cast<std::size_t>(sent) == bytes;
}
