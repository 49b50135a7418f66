#include "server/orvo-engined/Worker.h"

#include <future>
#include <utility>

namespace orvo::engined {

Worker::Worker()
{
    using Handles = std::pair<kj::Own<const kj::Executor>, kj::Own<kj::CrossThreadPromiseFulfiller<void>>>;
    std::promise<Handles> started;
    m_thread = std::thread([&started] {
        kj::EventLoop loop;
        kj::WaitScope waitScope(loop);
        auto stop = kj::newPromiseAndCrossThreadFulfiller<void>();
        started.set_value({kj::getCurrentThreadExecutor().addRef(), kj::mv(stop.fulfiller)});
        stop.promise.wait(waitScope);
    });
    std::tie(m_executor, m_stop) = started.get_future().get();
}

Worker::~Worker()
{
    m_stop->fulfill();
    m_thread.join();
}

}  // namespace orvo::engined
