// Zero memory for the hash tables from anonymous mappings, huge-page aligned
// where asked.
#include "board/table_memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace TableMemory {

namespace {
constexpr uint64_t HUGE_PAGE = uint64_t(2) << 20;
}

// Probes land on random slots, so with small pages nearly every one would also
// miss the TLB: hence the huge pages for a large table that is probed at every node.
void* map_zeroed(uint64_t bytes, bool hugePages) {
    const uint64_t align = hugePages && bytes >= HUGE_PAGE ? HUGE_PAGE : 0;
    // Mapped with room to spare for the alignment, which is then unmapped.
    void* mapped = mmap(nullptr, bytes + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) std::abort();
    char* p = static_cast<char*>(mapped);
    if (align) {
        const uint64_t head = (align - reinterpret_cast<uintptr_t>(p) % align) % align;
        if (head) munmap(p, head);
        p += head;
        munmap(p + bytes, align - head);  // the tail, never empty
        madvise(p, bytes, MADV_HUGEPAGE);  // only advice: failure is harmless
    }
    return p;
}

void unmap(void* p, uint64_t bytes) { munmap(p, bytes); }

}  // namespace TableMemory
