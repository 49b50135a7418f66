#include "tankengine/storage/background_sync.h"

#include <system_error>

namespace orvo::tank {

Status SyncEventFiles(File& data, File& headers)
{
    Status synced = data.DataSync();
    return synced ? headers.DataSync() : synced;
}

Result<std::unique_ptr<BackgroundSync>> BackgroundSync::Start(const File& data, const File& headers)
{
    Result<File> ownData = data.Duplicate();
    if (!ownData) {
        return ownData.failure();
    }
    Result<File> ownHeaders = headers.Duplicate();
    if (!ownHeaders) {
        return ownHeaders.failure();
    }
    std::unique_ptr<BackgroundSync> sync(new BackgroundSync(std::move(*ownData), std::move(*ownHeaders)));
    try {
        sync->m_thread = std::thread([raw = sync.get()] { raw->Run(); });
    } catch (const std::system_error& error) {
        return SystemFailure("cannot start the thread that syncs " + headers.path(), error.code());
    }
    return sync;
}

void BackgroundSync::Stop()
{
    {
        MutexLock lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void BackgroundSync::Appended(std::chrono::milliseconds interval)
{
    const Clock::time_point due = Clock::now() + interval;
    bool sooner = false;
    {
        MutexLock lock(m_mutex);
        sooner = !m_due || due < *m_due;
        if (sooner) {
            m_due = due;
        }
    }
    // Only the first append after a sync, or a shortened interval, moves the
    // thread's wake-up; the others cost the lock alone.
    if (sooner) {
        m_wake.notify_all();
    }
}

Status BackgroundSync::Problem() const
{
    MutexLock lock(m_mutex);
    if (m_failure) {
        return *m_failure;
    }
    return {};
}

bool BackgroundSync::WaitForDueSync()
{
    MutexLock lock(m_mutex);
    while (!m_ending) {
        if (m_due && !m_failure && Clock::now() >= *m_due) {
            // Appends from now on ask for another sync: this one may start
            // before their writes.
            m_due.reset();
            return true;
        }
        if (m_due && !m_failure) {
            m_wake.wait_until(m_mutex, *m_due);
        } else {
            m_wake.wait(m_mutex);
        }
    }
    return false;
}

void BackgroundSync::Run()
{
    while (WaitForDueSync()) {
        Status synced = SyncEventFiles(m_data, m_headers);
        if (!synced) {
            MutexLock lock(m_mutex);
            m_failure = synced.failure();
        }
    }
}

}  // namespace orvo::tank
