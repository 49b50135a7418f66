// A writer's syncs, made on a thread of its own so that appends never wait
// for the disk.
#pragma once

#include "platform/thread_safety.h"
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/result.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <optional>
#include <thread>

namespace orvo::tank {

// Makes the data file durable, then the header file, so that a durable frame
// never names data the disk did not keep.
Status SyncEventFiles(File& data, File& headers);

// Syncs two event files whenever appends ask for it. After a failed sync it
// syncs no more: what the kernel failed to write may be gone from its cache,
// and only a reopen of the block can tell what survived.
class BackgroundSync {
public:
    // Works on handles of its own, so the writer's files may move.
    static Result<std::unique_ptr<BackgroundSync>> Start(const File& data, const File& headers);
    // Stops the thread; starts no sync.
    ~BackgroundSync() { Stop(); }
    BackgroundSync(const BackgroundSync&) = delete;
    BackgroundSync& operator=(const BackgroundSync&) = delete;

    // What was appended now is to be durable within the interval: a sync
    // starts by then.
    void Appended(std::chrono::milliseconds interval) EXCLUDES(m_mutex);
    // Why a sync failed; success while none has.
    Status Problem() const EXCLUDES(m_mutex);
    // Waits for a sync that is running and ends the thread; starts none.
    void Stop() EXCLUDES(m_mutex);

private:
    using Clock = std::chrono::steady_clock;

    BackgroundSync(File data, File headers) : m_data(std::move(data)), m_headers(std::move(headers)) {}
    void Run() EXCLUDES(m_mutex);
    // Waits until a sync is due; false when the object is ending.
    bool WaitForDueSync() EXCLUDES(m_mutex);

    // Used by the thread only, once started.
    File m_data;
    File m_headers;
    mutable Mutex m_mutex;
    std::condition_variable_any m_wake;
    std::optional<Clock::time_point> m_due GUARDED_BY(m_mutex);  // when the next sync starts; none while all is synced
    std::optional<Failure> m_failure GUARDED_BY(m_mutex);
    bool m_ending GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

}  // namespace orvo::tank
