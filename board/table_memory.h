// Storage of the process-wide hash tables (transposition and pawn table):
// slots in zero memory from an anonymous mapping whose every page is committed
// when the table is made, and emptied in place once something was written.
#pragma once

#include <cstdint>

namespace TableMemory {

// `bytes` of zero memory from an anonymous mapping, every page already supplied
// by the kernel, so that no page fault waits inside a later search. With
// hugePages, a block of a huge page or more starts on a huge-page boundary and
// is advised to use huge pages. Null when the system refuses the memory (the
// mapping, or a page of it); nothing is left mapped then. A system that
// promises more memory than it has may instead end the process later.
void* map_committed(uint64_t bytes, bool hugePages);
void unmap(void* p, uint64_t bytes);
// Writes zero over `bytes` of committed memory; a large block is split over a
// few threads, which all have ended on return.
void zero(void* p, uint64_t bytes);

// Both map_committed and zero split a large block over helper threads; where
// the system refuses a helper, the calling thread does its piece. This makes
// the next `count` starts fail as if refused, for tests of that path.
void refuse_helper_starts(unsigned count);

}  // namespace TableMemory

// The slots of one hash table. `written` is false while every slot is still
// zero; the owner sets it on each write, and an unwritten table needs no clearing.
template <class T>
class ZeroedTable {
public:
    ZeroedTable() = default;
    ZeroedTable(const ZeroedTable&) = delete;
    ZeroedTable& operator=(const ZeroedTable&) = delete;
    ~ZeroedTable() { release(); }

    // count zero slots; the old ones are freed first, so both never coexist.
    // An untouched table of that count is already what a new one would be and
    // stays. False when the memory cannot be had: the table is then empty (null).
    bool create(uint64_t count, bool hugePages) {
        if (data_ && !written && count == count_) return true;
        release();
        data_ = static_cast<T*>(TableMemory::map_committed(count * sizeof(T), hugePages));
        if (!data_) return false;
        count_ = count;
        written = false;
        return true;
    }

    // Every slot zero again, in the pages the table already has.
    void clear() {
        if (!data_ || !written) return;
        TableMemory::zero(data_, count_ * sizeof(T));
        written = false;
    }

    explicit operator bool() const { return data_ != nullptr; }
    T* get() const { return data_; }
    T& operator[](uint64_t i) const { return data_[i]; }

    bool written = false;

private:
    void release() {
        if (data_) TableMemory::unmap(data_, count_ * sizeof(T));
        data_ = nullptr;
        count_ = 0;
    }

    T* data_ = nullptr;
    uint64_t count_ = 0;
};
