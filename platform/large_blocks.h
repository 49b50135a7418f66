// Memory for large arrays that the layers of a read make and free again in
// the same sizes call after call. Freed blocks are kept for a while, so the
// next array of that size gets pages that are already there instead of
// fresh ones from the kernel, each faulted in and zeroed on first touch. A
// block larger than all kept lets go of the oldest kept ones instead.
//
// Threads: any thread may take and give back blocks.
#pragma once

#include <cstddef>

namespace orvo {

// At least this large a block is kept when given back; smaller ones the
// allocator reuses well by itself.
inline constexpr std::size_t kLargeBlockBytes = std::size_t{256} << 10;
// Blocks this large come straight from the kernel, asking for huge pages:
// an array of tens of megabytes then faults in 2 MiB at a time instead of
// 4 KiB, and on a virtual machine each fault costs more than its copying.
inline constexpr std::size_t kMappedBlockBytes = std::size_t{4} << 20;
// What is kept at most, in bytes and in blocks: past either, the blocks kept
// longest go back to the system.
inline constexpr std::size_t kKeptBlockBytes = std::size_t{256} << 20;
inline constexpr std::size_t kKeptBlocks = 32;

// A block of `bytes` bytes, zero-filled when asked, or null when memory runs
// out. Freed with GiveBackBlock and the same byte count.
void* TakeBlock(std::size_t bytes, bool zeroed);
// Null is ignored.
void GiveBackBlock(void* block, std::size_t bytes) noexcept;
// The bytes of the blocks kept now.
std::size_t KeptBlockBytes();
// Gives every kept block back to the system, so that what a piece of work
// then holds at its peak is what it needs.
void LetGoKeptBlocks();

}  // namespace orvo
