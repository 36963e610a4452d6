// Zero memory for the hash tables from anonymous mappings, huge-page aligned
// where asked, committed page by page before first use and zeroed in place.
#include "board/table_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

namespace TableMemory {

namespace {

constexpr uint64_t HUGE_PAGE = uint64_t(2) << 20;
constexpr uint64_t SMALL_PAGE = 4096;
// The kernel supplies and the processor zeroes a few GB/s per core; a thread
// only pays for its start-up beyond this much, and a few of them come close to
// the memory's own speed.
constexpr uint64_t MIN_BYTES_PER_THREAD = uint64_t(64) << 20;
constexpr unsigned MAX_THREADS = 4;

// Runs work(begin, end) over [0, bytes) in pieces of whole huge pages, the
// first on the calling thread and one more thread for each further piece.
// True when every piece returned true.
template <class Work>
bool split(uint64_t bytes, const Work& work) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const uint64_t pieces = std::clamp<uint64_t>(bytes / MIN_BYTES_PER_THREAD, 1, std::min(cores, MAX_THREADS));
    // Rounded up twice, so that the pieces always reach the end.
    const uint64_t piece = ((bytes + pieces - 1) / pieces + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;

    // The rounding may leave the last pieces empty.
    const uint64_t used = std::max<uint64_t>((bytes + piece - 1) / piece, 1);

    std::vector<std::thread> helpers;
    helpers.reserve(used - 1);
    std::vector<char> done(used, 0);  // each written by its own thread only
    for (uint64_t i = 1; i < used; ++i) {
        const uint64_t begin = i * piece, end = std::min(bytes, begin + piece);
        helpers.emplace_back([&work, &done, i, begin, end] { done[i] = work(begin, end); });
    }
    done[0] = work(0, std::min(bytes, piece));
    for (std::thread& t : helpers) t.join();
    return std::all_of(done.begin(), done.end(), [](char ok) { return ok != 0; });
}

// Makes the kernel supply every page of [p, p + bytes) now. False when it
// cannot (out of memory).
bool commit(char* p, uint64_t bytes) {
#ifdef MADV_POPULATE_WRITE
    for (;;) {
        if (madvise(p, bytes, MADV_POPULATE_WRITE) == 0) return true;
        if (errno != EINTR && errno != EAGAIN) break;
    }
    if (errno != EINVAL) return false;
#endif
    // A kernel without MADV_POPULATE_WRITE (before Linux 5.14): a write to each
    // page makes it supply the page.
    for (uint64_t i = 0; i < bytes; i += SMALL_PAGE) reinterpret_cast<volatile char*>(p)[i] = 0;
    return true;
}

}  // namespace

// Probes land on random slots, so with small pages nearly every one would also
// miss the TLB: hence the huge pages for a large table that is probed at every node.
void* map_committed(uint64_t bytes, bool hugePages) {
    const uint64_t align = hugePages && bytes >= HUGE_PAGE ? HUGE_PAGE : 0;
    // Mapped with room to spare for the alignment, which is then unmapped.
    void* mapped = mmap(nullptr, bytes + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    char* p = static_cast<char*>(mapped);
    if (align) {
        const uint64_t head = (align - reinterpret_cast<uintptr_t>(p) % align) % align;
        if (head) munmap(p, head);
        p += head;
        munmap(p + bytes, align - head);  // the tail, never empty
        madvise(p, bytes, MADV_HUGEPAGE);  // only advice: failure is harmless
    }
    // Committed here, where a GUI waits for "readyok", and not by page faults
    // in the first search, where they would eat into its clock.
    if (!split(bytes, [p](uint64_t begin, uint64_t end) { return commit(p + begin, end - begin); })) {
        munmap(p, bytes);
        return nullptr;
    }
    return p;
}

void unmap(void* p, uint64_t bytes) { munmap(p, bytes); }

void zero(void* p, uint64_t bytes) {
    char* const base = static_cast<char*>(p);
    split(bytes, [base](uint64_t begin, uint64_t end) {
        std::memset(base + begin, 0, end - begin);
        return true;
    });
}

}  // namespace TableMemory
