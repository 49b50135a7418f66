// The connection to one engine server: a thread of its own runs the event
// loop that Cap'n Proto needs, and callers on any thread hand it their calls,
// each of which fails when the server has not answered within the timeout.
#pragma once

#include <string>

#include <capnp/dynamic.h>
#include <orvo/platform/types.h>

#include "protocol/LoopThread.h"

namespace orvo::remote {

// Why a connection could not be made, as an activation answers it.
struct LinkFailure {
    HRESULT code;
    std::string reason;
};

struct Credentials {
    std::string user;
    std::string domain;
    std::string password;
};

class Link {
public:
    // Connects to address ("[plain:]HOST[:PORT]") and logs in; throws
    // LinkFailure.
    Link(const std::string& address, const Credentials& credentials, kj::Duration timeout);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Runs call on the link's thread and waits for its answer, or throws a
    // kj::Exception: the server's failure, the connection's loss, or no
    // answer within the timeout.
    template <class T>
    T Run(kj::Function<kj::Promise<T>()> call)
    {
        return m_thread.Executor().executeSync([this, &call]() -> kj::Promise<T> {
            return call().exclusiveJoin(TimedOut().then([]() -> T { KJ_UNREACHABLE; }));
        });
    }

    // For calls made on the link's thread.
    capnp::DynamicCapability::Client& Engine();
    const std::string& Address() const { return m_address; }

private:
    struct Loop;
    void Connect(const Credentials& credentials);
    // Rejected after the timeout, on the link's thread.
    kj::Promise<void> TimedOut();

    const std::string m_address;
    const kj::Duration m_timeout;
    wire::LoopThread m_thread;
    // Made, used and ended on the link's thread only.
    kj::Own<Loop> m_loop;
};

}  // namespace orvo::remote
