// The transposition table's storage and its probe, store, replacement and fill
// estimate.
#include "search/tt.h"

#include <algorithm>

#include "board/table_memory.h"
#include "board/types.h"

namespace TT {

namespace {

constexpr uint64_t KEY_MULTIPLIER = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t MIB = 1048576;
constexpr int EVAL_LIMIT = 32000;

// On huge pages: every node probes a random bucket.
ZeroedTable<TTEntry> table;
uint64_t numBuckets = 0;
uint64_t tableEntries = 0;
uint32_t bucketShift = 64;
uint64_t allocatedMb = 0;
uint8_t currentAge = 1;

inline uint64_t stored_key(uint64_t key) { return key == 0 ? 1 : key; }

inline TTEntry* bucket_of(uint64_t k) {
    // The table holds at least 8192 buckets, so the shift is below 64.
    return table.get() + ((k * KEY_MULTIPLIER) >> bucketShift) * BUCKET_SIZE;
}

inline int16_t eval_to_store(int eval) {
    if (eval == SCORE_NONE) return int16_t(SCORE_NONE);
    return int16_t(std::clamp(eval, -EVAL_LIMIT, EVAL_LIMIT));
}

inline int age_distance(uint8_t age) { return uint8_t(currentAge - age); }

void write_entry(TTEntry& e, uint64_t k, unsigned move, int depth, int score, int16_t eval,
                 Bound bound) {
    e.key = k;
    e.move = move;
    e.depth = int16_t(depth);  // low 16 bits
    e.score = score;
    e.eval = eval;
    e.bound = bound;
    e.age = currentAge;
}

}  // namespace

uint64_t buckets_for_mb(unsigned long long mb) {
    uint64_t m = mb == 0 ? 1 : mb;
    // Budgets beyond 2^44 MiB would overflow the byte count; no machine has them.
    m = std::min<uint64_t>(m, (~uint64_t(0)) / MIB);
    uint64_t fit = m * MIB / BUCKET_BYTES;  // at least 10922 for 1 MiB
    return uint64_t(1) << msb(fit);
}

bool init_tt(unsigned long long mb) {
    const uint64_t buckets = buckets_for_mb(mb);
    allocatedMb = mb == 0 ? 1 : mb;
    currentAge = 1;
    numBuckets = buckets;
    tableEntries = numBuckets * BUCKET_SIZE;
    bucketShift = 64 - uint32_t(lsb(numBuckets));
    return table.create(tableEntries, true);
}

void clear_tt() { table.clear(); }

void new_search() {
    currentAge = uint8_t(currentAge + 1);
    if (currentAge == 0) currentAge = 1;
}

unsigned probe(unsigned long long key, int /*callerDepth*/, int& depth, int& score, int& eval,
               Bound& bound) {
    depth = 0;
    score = 0;
    eval = SCORE_NONE;
    bound = NONE;
    if (!table) return 0;

    uint64_t k = stored_key(key);
    const TTEntry* b = bucket_of(k);
    for (int i = 0; i < BUCKET_SIZE; ++i) {
        const TTEntry& e = b[i];
        if (e.key != k) continue;
        depth = e.depth;
        score = e.score;
        eval = e.eval;
        bound = Bound(e.bound);
        return e.move;
    }
    return 0;
}

void prefetch(unsigned long long key) {
    if (!table) return;
    __builtin_prefetch(bucket_of(stored_key(key)), 0, 1);
}

void store(unsigned long long key, unsigned move, int depth, int score, int eval, Bound bound) {
    if (!table) return;

    table.written = true;
    uint64_t k = stored_key(key);
    int16_t ev = eval_to_store(eval);
    TTEntry* b = bucket_of(k);

    for (int i = 0; i < BUCKET_SIZE; ++i) {
        TTEntry& e = b[i];
        if (e.key == 0) {
            write_entry(e, k, move, depth, score, ev, bound);
            return;
        }
        if (e.key != k) continue;
        if (e.depth < depth || bound == EXACT || e.move == 0) {
            write_entry(e, k, move, depth, score, ev, bound);
        } else {
            // A shallower non-exact result keeps the deeper score but marks the
            // entry as still in use and takes any fresher move and evaluation.
            e.age = currentAge;
            if (eval != SCORE_NONE) e.eval = ev;
            if (move != 0) e.move = move;
        }
        return;
    }

    // Bucket full of other positions: evict the least valuable entry, where an
    // exact bound is worth two plies and each generation of age a quarter ply.
    TTEntry* victim = &b[0];
    int victimValue = 0;
    for (int i = 0; i < BUCKET_SIZE; ++i) {
        const TTEntry& e = b[i];
        int value = e.depth * 1024 + (e.bound == EXACT ? 2048 : 0) - 256 * age_distance(e.age);
        if (i == 0 || value < victimValue) {
            victim = &b[i];
            victimValue = value;
        }
    }
    write_entry(*victim, k, move, depth, score, ev, bound);
}

int hashfull() {
    if (!table) return 0;
    uint64_t n = std::min<uint64_t>(tableEntries, 1000);
    uint64_t count = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const TTEntry& e = table[i];
        if (e.key != 0 && age_distance(e.age) < 2) ++count;
    }
    return int(count * 1000 / n);
}

uint64_t size_mb() { return allocatedMb; }

}  // namespace TT
