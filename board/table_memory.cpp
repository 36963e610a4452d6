// Zero memory for the hash tables from anonymous mappings, huge-page aligned
// where asked, committed page by page before first use and zeroed in place.
#include "board/table_memory.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace TableMemory {

namespace {

constexpr uint64_t HUGE_PAGE = uint64_t(2) << 20;
constexpr uint64_t SMALL_PAGE = 4096;
// The kernel supplies and the processor zeroes a few GB/s per core; a thread
// only pays for its start-up beyond this much, and a few of them come close to
// the memory's own speed.
constexpr uint64_t MIN_BYTES_PER_THREAD = uint64_t(64) << 20;
constexpr unsigned MAX_THREADS = 4;
// A helper only calls madvise or memset. Its stack is set here: by default a
// thread gets the process's stack limit, which may be gigabytes (ulimit -s).
constexpr size_t HELPER_STACK_BYTES = size_t(64) << 10;

std::atomic<unsigned> refusedStarts{0};

// One piece of a split: run on a helper thread, or on the calling thread when
// no helper could be started for it.
template <class Work>
struct Piece {
    const Work* work;
    uint64_t begin, end;
    bool ok;

    void run() { ok = (*work)(begin, end); }
    static void* run_helper(void* piece) {
        static_cast<Piece*>(piece)->run();
        return nullptr;
    }
};

// Starts a helper thread on `piece`; false when the system refuses one (too
// many processes, no memory for its stack). The piece lives on the caller's
// stack, so the helper neither allocates nor frees: glibc would give it a malloc
// arena of its own, 64 MiB of address space that would outlive the thread.
template <class Work>
bool start_helper(pthread_t& id, Piece<Work>& piece) {
    for (unsigned n = refusedStarts.load(); n > 0;)
        if (refusedStarts.compare_exchange_weak(n, n - 1)) return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    int rc = pthread_attr_setstacksize(&attr, HELPER_STACK_BYTES);
    if (rc == 0) rc = pthread_create(&id, &attr, &Piece<Work>::run_helper, &piece);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

// Runs work(begin, end) over [0, bytes) in pieces of whole huge pages, the
// first on the calling thread and one more thread for each further piece. A
// piece whose thread cannot start is done on the calling thread too, so the
// whole range is always done. True when every piece returned true.
template <class Work>
bool split(uint64_t bytes, const Work& work) {
    if (bytes == 0) return true;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const uint64_t pieces = std::clamp<uint64_t>(bytes / MIN_BYTES_PER_THREAD, 1, std::min(cores, MAX_THREADS));
    // Rounded up twice, so that the pieces always reach the end.
    const uint64_t piece = ((bytes + pieces - 1) / pieces + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;

    // The rounding may leave the last pieces empty.
    const uint64_t used = (bytes + piece - 1) / piece;

    Piece<Work> parts[MAX_THREADS];
    pthread_t ids[MAX_THREADS];
    bool started[MAX_THREADS] = {};
    for (uint64_t i = 0; i < used; ++i) parts[i] = {&work, i * piece, std::min(bytes, (i + 1) * piece), false};
    for (uint64_t i = 1; i < used; ++i) started[i] = start_helper(ids[i], parts[i]);
    for (uint64_t i = 0; i < used; ++i)
        if (!started[i]) parts[i].run();
    for (uint64_t i = 1; i < used; ++i)
        if (started[i]) pthread_join(ids[i], nullptr);
    return std::all_of(parts, parts + used, [](const Piece<Work>& p) { return p.ok; });
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
    // The mapping ends on a page boundary, where munmap can cut the spare off.
    const uint64_t length = (bytes + SMALL_PAGE - 1) / SMALL_PAGE * SMALL_PAGE;
    // Mapped with room to spare for the alignment, which is then unmapped.
    void* mapped = mmap(nullptr, length + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    char* p = static_cast<char*>(mapped);
    if (align) {
        const uint64_t head = (align - reinterpret_cast<uintptr_t>(p) % align) % align;
        if (head) munmap(p, head);
        p += head;
        munmap(p + length, align - head);  // the tail, never empty
        madvise(p, length, MADV_HUGEPAGE);  // only advice: failure is harmless
    }
    // Committed here, where a GUI waits for "readyok", and not by page faults
    // in the first search, where they would eat into its clock.
    if (!split(bytes, [p](uint64_t begin, uint64_t end) { return commit(p + begin, end - begin); })) {
        munmap(p, length);
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

void refuse_helper_starts(unsigned count) { refusedStarts.store(count); }

}  // namespace TableMemory
