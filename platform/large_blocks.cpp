#include "platform/large_blocks.h"

#include "platform/thread_safety.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace orvo {
namespace {

struct Kept {
    void* block;
    std::size_t bytes;
};

// What the keeper let go, for the caller to free outside its lock.
struct Released {
    std::array<Kept, kKeptBlocks + 1> blocks{};
    std::size_t count = 0;
};

class KeptBlocks {
public:
    // A kept block of the size, or null. A block larger than any kept is
    // the largest piece of some new work, the one that sets its peak, and
    // the kept ones cannot serve it: the longest kept, at least `bytes` of
    // them, are let go so that the fresh block takes their place instead of
    // adding to them. Smaller misses, such as a read's short last batch,
    // leave the kept blocks for the next call of the same shape.
    void* Take(std::size_t bytes, Released& released)
    {
        MutexLock lock(m_mutex);
        std::size_t largest = 0;
        // The latest first: its pages are the likeliest still in the cache.
        for (std::size_t i = m_count; i-- > 0;) {
            if (m_kept[i].bytes == bytes) {
                void* block = m_kept[i].block;
                Drop(i);
                return block;
            }
            largest = std::max(largest, m_kept[i].bytes);
        }
        for (std::size_t freed = 0; bytes > largest && freed < bytes && m_count > 0;) {
            freed += m_kept[0].bytes;
            LetGoOldest(released);
        }
        return nullptr;
    }

    std::size_t Bytes()
    {
        MutexLock lock(m_mutex);
        return m_bytes;
    }

    // Keeps the block of at most kKeptBlockBytes, letting go of the oldest
    // past the limits.
    Released Keep(void* block, std::size_t bytes)
    {
        Released released;
        MutexLock lock(m_mutex);
        m_kept[m_count++] = {block, bytes};
        m_bytes += bytes;
        while (m_bytes > kKeptBlockBytes || m_count > kKeptBlocks) {
            LetGoOldest(released);
        }
        return released;
    }

    Released LetGoAll()
    {
        Released released;
        MutexLock lock(m_mutex);
        while (m_count > 0) {
            LetGoOldest(released);
        }
        return released;
    }

private:
    void LetGoOldest(Released& released) REQUIRES(m_mutex)
    {
        released.blocks[released.count++] = m_kept[0];
        Drop(0);
    }

    void Drop(std::size_t i) REQUIRES(m_mutex)
    {
        m_bytes -= m_kept[i].bytes;
        std::copy(m_kept.begin() + static_cast<std::ptrdiff_t>(i + 1),
                  m_kept.begin() + static_cast<std::ptrdiff_t>(m_count), m_kept.begin() + static_cast<std::ptrdiff_t>(i));
        --m_count;
    }

    Mutex m_mutex;
    std::array<Kept, kKeptBlocks + 1> m_kept GUARDED_BY(m_mutex){};  // oldest first
    std::size_t m_count GUARDED_BY(m_mutex) = 0;
    std::size_t m_bytes GUARDED_BY(m_mutex) = 0;
};

// Never destroyed: arrays may still be freed while the process ends.
KeptBlocks& TheKeptBlocks()
{
    static KeptBlocks& kept = *new KeptBlocks;
    return kept;
}

// A mapped block is zero-filled by the kernel; the hint for huge pages may
// be refused, and the block then has small ones.
void* Allocate(std::size_t bytes, bool zeroed)
{
    if (bytes < kMappedBlockBytes) {
        return zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
    }
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    (void)madvise(block, bytes, MADV_HUGEPAGE);
    return block;
}

void Deallocate(void* block, std::size_t bytes)
{
    if (bytes < kMappedBlockBytes) {
        std::free(block);
    } else {
        (void)munmap(block, bytes);
    }
}

void Free(const Released& released)
{
    for (std::size_t i = 0; i < released.count; ++i) {
        Deallocate(released.blocks[i].block, released.blocks[i].bytes);
    }
}

}  // namespace

void* TakeBlock(std::size_t bytes, bool zeroed)
{
    if (bytes >= kLargeBlockBytes) {
        Released released;
        void* block = TheKeptBlocks().Take(bytes, released);
        Free(released);
        if (block != nullptr) {
            return zeroed ? std::memset(block, 0, bytes) : block;
        }
    }
    return Allocate(bytes, zeroed);
}

void GiveBackBlock(void* block, std::size_t bytes) noexcept
{
    if (block == nullptr) {
        return;
    }
    if (bytes < kLargeBlockBytes || bytes > kKeptBlockBytes) {
        Deallocate(block, bytes);
        return;
    }
    Free(TheKeptBlocks().Keep(block, bytes));
}

std::size_t KeptBlockBytes() { return TheKeptBlocks().Bytes(); }

void LetGoKeptBlocks() { Free(TheKeptBlocks().LetGoAll()); }

}  // namespace orvo
