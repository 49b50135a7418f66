// A thread that runs an event loop of its own, with I/O, to which other
// threads hand work: both ends of the network keep their Cap'n Proto objects
// on such a thread, since those belong to the loop that made them.
#pragma once

#include <thread>

#include <kj/async-io.h>

namespace orvo::wire {

class LoopThread {
public:
    LoopThread();
    // Ends the loop once the work handed over has run, and joins the thread.
    ~LoopThread();
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    const kj::Executor& Executor() const { return *m_executor; }
    // For work that runs on the thread.
    kj::AsyncIoContext& Io() { return *m_io; }

private:
    kj::Own<const kj::Executor> m_executor;
    kj::Own<kj::CrossThreadPromiseFulfiller<void>> m_stop;
    kj::AsyncIoContext* m_io = nullptr;
    std::thread m_thread;
};

}  // namespace orvo::wire
