// Transposition table: one process-wide array of four-entry buckets keyed by
// the full Zobrist key, remembering best move, depth, score with its bound and
// static evaluation. Scores are stored exactly as given; the search converts
// mate scores between root- and node-relative form itself.
#pragma once

#include <cstdint>

namespace TT {

enum Bound : uint8_t { NONE = 0, EXACT = 1, LOWER = 2, UPPER = 3 };

// One slot. Key 0 marks an empty slot, so a position key of 0 is kept as 1.
struct TTEntry {
    uint64_t key;
    uint32_t move;
    int16_t depth;
    int32_t score;
    int16_t eval;   // clamped to -32000..32000, or SCORE_NONE
    uint8_t bound;  // a Bound
    uint8_t age;    // generation of the last write or refresh
};
static_assert(sizeof(TTEntry) == 24, "four entries must pack into a 96-byte bucket");

constexpr int BUCKET_SIZE = 4;
constexpr uint64_t BUCKET_BYTES = BUCKET_SIZE * sizeof(TTEntry);

// Number of buckets a budget of mb MiB (0 taken as 1) holds: the largest power
// of two whose buckets fit in the budget.
uint64_t buckets_for_mb(unsigned long long mb);

// Frees the table and creates it anew, empty, for mb MiB (0 taken as 1), with
// all its memory committed; the generation restarts at 1. False when the memory
// cannot be had: there is no table then.
bool init_tt(unsigned long long mb);
// Empties every entry; the generation is kept.
void clear_tt();
// Advances the generation once per search; 255 is followed by 1.
void new_search();

// Returns the stored move (0 on a miss). Outputs are depth 0, score 0,
// eval SCORE_NONE and bound NONE on a miss; a hit has bound != NONE.
// The second argument (the caller's depth) is not used.
unsigned probe(unsigned long long key, int callerDepth, int& depth, int& score, int& eval,
               Bound& bound);
// Hints the processor to fetch the bucket of key into cache.
void prefetch(unsigned long long key);
void store(unsigned long long key, unsigned move, int depth, int score, int eval, Bound bound);

// Fill estimate in per mille from the first 1000 entries, counting the
// current and the previous generation only.
int hashfull();
// The MiB value of the last init_tt (0 taken as 1); 0 before the first.
uint64_t size_mb();

}  // namespace TT
