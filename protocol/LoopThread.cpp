#include "protocol/LoopThread.h"

#include <future>
#include <utility>

namespace orvo::wire {

LoopThread::LoopThread()
{
    using Handles = std::pair<kj::Own<const kj::Executor>, kj::Own<kj::CrossThreadPromiseFulfiller<void>>>;
    std::promise<Handles> started;
    m_thread = std::thread([this, &started] {
        kj::AsyncIoContext io = kj::setupAsyncIo();
        m_io = &io;
        auto stop = kj::newPromiseAndCrossThreadFulfiller<void>();
        started.set_value({kj::getCurrentThreadExecutor().addRef(), kj::mv(stop.fulfiller)});
        stop.promise.wait(io.waitScope);
        m_io = nullptr;
    });
    std::tie(m_executor, m_stop) = started.get_future().get();
}

LoopThread::~LoopThread()
{
    m_stop->fulfill();
    m_thread.join();
}

}  // namespace orvo::wire
