#include "remote/Link.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include <capnp/rpc-twoparty.h>
#include <kj/compat/tls.h>
#include <orvo/platform/errors.h>

#include "protocol/EngineWire.h"

namespace orvo::remote {
namespace {

// Names a PEM file of certificates to trust besides the system's, for
// servers whose certificates no public authority signed.
constexpr const char* kTrustedCertificatesVariable = "ORVO_SERVER_CERTIFICATES";
constexpr std::string_view kPlaintextScheme = "plain:";

// The host of "HOST[:PORT]" or "[V6]:PORT", which a certificate must name.
std::string HostOf(const std::string& address)
{
    if (!address.empty() && address[0] == '[') {
        return address.substr(1, address.find(']') - 1);
    }
    const std::size_t colon = address.find(':');
    return colon == std::string::npos || address.find(':', colon + 1) != std::string::npos ? address
                                                                                         : address.substr(0, colon);
}

std::string ReadWhole(const char* path)
{
    std::ifstream file(path);
    KJ_REQUIRE(file.good(), "cannot read the trusted certificates", path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

struct Link::Loop {
    kj::Maybe<kj::Own<kj::TlsContext>> tls;
    kj::Own<kj::AsyncIoStream> stream;
    kj::Own<capnp::TwoPartyVatNetwork> network;
    kj::Own<capnp::RpcSystem<capnp::rpc::twoparty::VatId>> rpc;
    capnp::DynamicCapability::Client engine;
};

Link::Link(const std::string& address, const Credentials& credentials, kj::Duration timeout)
    : m_address(address), m_timeout(timeout)
{
    m_thread.Executor().executeSync([this] { m_loop = kj::heap<Loop>(); });
    try {
        Connect(credentials);
    } catch (...) {
        m_thread.Executor().executeSync([this] { m_loop = nullptr; });
        throw;
    }
}

Link::~Link()
{
    m_thread.Executor().executeSync([this] { m_loop = nullptr; });
}

capnp::DynamicCapability::Client& Link::Engine() { return m_loop->engine; }

kj::Promise<void> Link::TimedOut()
{
    return m_thread.Io().provider->getTimer().afterDelay(m_timeout).then([this]() {
        kj::throwFatalException(KJ_EXCEPTION(OVERLOADED, "no answer from the engine server within the timeout",
                                             m_address, m_timeout / kj::MILLISECONDS));
    });
}

void Link::Connect(const Credentials& credentials)
{
    const bool plaintext = m_address.rfind(kPlaintextScheme, 0) == 0;
    const std::string target = plaintext ? m_address.substr(kPlaintextScheme.size()) : m_address;
    bool loggingIn = false;
    try {
        Run<void>([&]() -> kj::Promise<void> {
            Loop& loop = *m_loop;
            if (!plaintext) {
                kj::TlsContext::Options options;
                kj::Vector<kj::TlsCertificate> trusted;
                if (const char* file = std::getenv(kTrustedCertificatesVariable); file != nullptr && file[0] != '\0') {
                    trusted.add(kj::TlsCertificate(ReadWhole(file).c_str()));
                }
                options.trustedCertificates = trusted;
                loop.tls = kj::heap<kj::TlsContext>(kj::mv(options));
            }
            return m_thread.Io().provider->getNetwork()
                .parseAddress(target, wire::kDefaultPort)
                .then([plaintext](kj::Own<kj::NetworkAddress> address) {
                    if (plaintext && !wire::IsLoopbackAddress(address->toString().cStr())) {
                        KJ_FAIL_REQUIRE("credentials go unencrypted to loopback addresses only",
                                        address->toString());
                    }
                    return address->connect().attach(kj::mv(address));
                })
                .then([&loop, host = HostOf(target)](kj::Own<kj::AsyncIoStream> stream) {
                    KJ_IF_MAYBE (tls, loop.tls) {
                        return (*tls)->wrapClient(kj::mv(stream), host);
                    }
                    return kj::Promise<kj::Own<kj::AsyncIoStream>>(kj::mv(stream));
                })
                .then([&loop, &credentials, &loggingIn](kj::Own<kj::AsyncIoStream> stream) {
                    loop.stream = kj::mv(stream);
                    loop.network = kj::heap<capnp::TwoPartyVatNetwork>(
                        *loop.stream, capnp::rpc::twoparty::Side::CLIENT,
                        capnp::ReaderOptions{wire::kMessageWords, 64});
                    loop.rpc = kj::heap(capnp::makeRpcClient(*loop.network));
                    capnp::MallocMessageBuilder message(8);
                    auto server = message.initRoot<capnp::rpc::twoparty::VatId>();
                    server.setSide(capnp::rpc::twoparty::Side::SERVER);
                    auto request = loop.rpc->bootstrap(server).castAs<wire::Login>().loginRequest();
                    request.setUser(credentials.user);
                    request.setDomain(credentials.domain);
                    request.setPassword(credentials.password);
                    loggingIn = true;
                    return request.send();
                })
                .then([&loop](capnp::Response<wire::Login::LoginResults> answer) {
                    loop.engine = answer.getEngine().castAs<capnp::DynamicCapability>(wire::EngineSchema());
                });
        });
    } catch (const kj::Exception& failure) {
        const std::string reason = failure.getDescription().cStr();
        if (failure.getType() == kj::Exception::Type::OVERLOADED) {
            throw LinkFailure{HRESULT_FROM_WIN32(ERROR_TIMEOUT), reason};
        }
        if (loggingIn && failure.getType() == kj::Exception::Type::FAILED) {
            throw LinkFailure{E_ACCESSDENIED, reason};
        }
        throw LinkFailure{HRESULT_RPC_SERVER_UNAVAILABLE, reason};
    }
}

}  // namespace orvo::remote
