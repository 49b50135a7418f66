#include "toolbox/CUDPSocket.h"

#include <string>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback socket on a port of the system's choosing that collects what
// the sender under test sends.
class Receiver {
public:
    Receiver() : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET, address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot bind a loopback socket";
        }
        m_port = ntohs(address.sin_port);
    }
    ~Receiver() { ::close(m_socket); }

    unsigned short port() const { return m_port; }

    // The next datagram, or "<none>" when none arrives soon.
    std::string next()
    {
        pollfd ready{m_socket, POLLIN, 0};
        if (::poll(&ready, 1, 2000) != 1) {
            return "<none>";
        }
        char buffer[70000];
        const ssize_t received = ::recv(m_socket, buffer, sizeof buffer, 0);
        return received < 0 ? "<error>" : std::string(buffer, static_cast<std::size_t>(received));
    }

    bool quiet()
    {
        pollfd ready{m_socket, POLLIN, 0};
        return ::poll(&ready, 1, 100) == 0;
    }

private:
    int m_socket;
    unsigned short m_port = 0;
};

TEST(UDPSocket, EachSendIsOneDatagramOfTheGivenBytesOrIsRefused)
{
    Receiver receiver;
    CUDPSocket sender(receiver.port());
    EXPECT_TRUE(sender.send("OrvoCI:120;BLOCKNAME:Block-1;TANKNAME:Demo", -1));
    EXPECT_EQ(receiver.next(), "OrvoCI:120;BLOCKNAME:Block-1;TANKNAME:Demo");
    // An explicit length sends exactly that many bytes, NULs included.
    EXPECT_TRUE(sender.send("abc\0def", 7));
    EXPECT_EQ(receiver.next(), std::string("abc\0def", 7));
    EXPECT_TRUE(sender.send("abcdef", 2));
    EXPECT_EQ(receiver.next(), "ab");

    // Refused without throwing, and nothing sent: bad arguments, and more
    // than any UDP datagram can hold.
    EXPECT_FALSE(sender.send(nullptr, -1));
    EXPECT_FALSE(sender.send("text", -2));
    EXPECT_FALSE(sender.send(std::string(70000, 'x').c_str(), -1));
    EXPECT_TRUE(receiver.quiet());
}

TEST(UDPSocket, NoListenerDoesNotMakeLaterSendsFail)
{
    // The refusal that comes back from a port nobody listens on must not
    // turn into a failure of the next notice.
    CUDPSocket sender(Receiver().port());
    EXPECT_TRUE(sender.send("nobody hears this", -1));
    EXPECT_TRUE(sender.send("nor this", -1));
}

}  // namespace
