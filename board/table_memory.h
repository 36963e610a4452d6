// Storage of the process-wide hash tables (transposition and pawn table):
// slots in zero memory from an anonymous mapping, created without a pass of
// zeroing and emptied only once something was written.
#pragma once

#include <cstdint>
#include <cstring>

namespace TableMemory {

// `bytes` of zero memory from an anonymous mapping: its pages read as zero and
// cost neither time nor memory until first written. With hugePages, a block of
// a huge page or more starts on a huge-page boundary and is advised to use huge
// pages. Aborts when the memory is not there.
void* map_zeroed(uint64_t bytes, bool hugePages);
void unmap(void* p, uint64_t bytes);

// Up to this size a written table is emptied by zeroing in place, so that its
// pages stay mapped for the next search; that takes up to a few hundred
// milliseconds the first time, while the kernel still supplies the pages.
// Larger tables get a fresh mapping instead, so that emptying them never
// delays an answer.
constexpr uint64_t CLEAR_IN_PLACE_BYTES = uint64_t(256) << 20;

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
    void create(uint64_t count, bool hugePages) {
        release();
        data_ = static_cast<T*>(TableMemory::map_zeroed(count * sizeof(T), hugePages));
        count_ = count;
        hugePages_ = hugePages;
        written = false;
    }

    // Every slot zero again.
    void clear() {
        if (!data_ || !written) return;
        const uint64_t bytes = count_ * sizeof(T);
        if (bytes <= TableMemory::CLEAR_IN_PLACE_BYTES)
            std::memset(static_cast<void*>(data_), 0, bytes);
        else
            create(count_, hugePages_);
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
    bool hugePages_ = false;
};
