// A thread with an event loop of its own, to which a connection hands its
// engine calls: the engine keeps the failure of a call that names no client
// for the thread that made it, so each connection needs a thread to itself;
// and a slow call then holds up its own connection only.
#pragma once

#include <thread>

#include <kj/async.h>

namespace orvo::engined {

class Worker {
public:
    Worker();
    // Ends the loop once the calls handed over have run.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs func on the worker; the promise belongs to the calling thread.
    template <class Func>
    auto Run(Func&& func) const
    {
        return m_executor->executeAsync(kj::fwd<Func>(func));
    }

private:
    kj::Own<const kj::Executor> m_executor;
    kj::Own<kj::CrossThreadPromiseFulfiller<void>> m_stop;
    std::thread m_thread;
};

}  // namespace orvo::engined
