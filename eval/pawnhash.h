// Pawn structure: scores the pawns of a position and caches the result, with the
// pawn facts the rest of the evaluation reads and each king's shelter score, in a
// table keyed by the pawn key.
#pragma once

#include <cstdint>

#include "board/position.h"
#include "board/types.h"

namespace PawnHash {

// One table slot; an all-zero entry is an empty slot.
struct Entry {
    uint64_t key;                        // pawn key that filled the slot (0 = empty, key 0 stored as 1)
    int32_t mg;                          // WHITE terms minus BLACK terms
    int32_t eg;
    Bitboard pawnAttacks[2];             // squares attacked by each side's pawns
    Bitboard passed[2];                  // each side's passed pawns
    Bitboard mobExcluded[2];             // pawns removed from their side's mobility area
    int32_t connectedPassers[2];
    int32_t advancedConnectedPassers[2]; // connected passers on relative rank index >= 4 with a free stop square
    int32_t shelterScore[2];             // king-shelter cache, per colour
    int32_t shelterKingSq[2];
    int32_t shelterCastling[2];
    bool shelterValid[2];
};
static_assert(sizeof(Entry) == 112, "the table sizing assumes 112-byte entries");

// The pawn piece-square values are the pawn rows of MG_PST / EG_PST (eval.h).

// By relative rank index 0..7.
inline constexpr int PAWN_DEFENDED_MG[8] = {0, 2, 5, 5, 8, 11, 0, 0};
inline constexpr int PAWN_DEFENDED_EG[8] = {0, 1, 2, 4, 7, 11, 0, 0};
inline constexpr int PAWN_PHALANX_MG[8] = {0, 3, 5, 11, 19, 32, 0, 0};
inline constexpr int PAWN_PHALANX_EG[8] = {0, 2, 4, 10, 22, 44, 0, 0};
inline constexpr int CANDIDATE_PASSER_MG[8] = {0, 0, 3, 7, 16, 34, 0, 0};
inline constexpr int CANDIDATE_PASSER_EG[8] = {0, 0, 8, 18, 40, 72, 0, 0};

// By rank distance between a storming enemy pawn and the king (1..3 used).
inline constexpr int KING_STORM_PENALTY_MG[8] = {0, 11, 7, 3, 0, 0, 0, 0};

// Fibonacci hashing: the top bits of key * golden ratio. With a single slot
// (shift 64) the index is 0; the shift is never 64 bits wide.
constexpr uint64_t slot_index(uint64_t key, int shift) {
    return shift >= 64 ? 0 : (key * 0x9E3779B97F4A7C15ULL) >> shift;
}

// (Re)creates the shared table, empty, for a budget of mb MiB (0 taken as 1):
// the largest power-of-two number of entries that fits, at least one, with all
// its memory committed. False when the memory cannot be had: there is no table then.
bool init(unsigned long long mb);
// Empties every entry of the shared table; size unchanged.
void clear();
// Entry of the shared table for the position's pawn structure, filled on a miss
// (always replace). Creates an 8 MiB table if none exists. Never null. Valid
// until a later probe refills the slot or the table is cleared or re-created.
// The shared table has no lock: only the search thread may use it while a
// search runs.
Entry* probe(const Position& pos);
// Same, but against a caller-owned entry acting as a private one-slot table: it
// is refilled unless it already holds the position's pawn key. The shared table
// is neither read nor written, so any thread may use this at any time.
Entry* probe(const Position& pos, Entry& privateEntry);
// Middlegame shelter and pawn-storm score of c's king, positive = good for c,
// cached in e (which must be the entry probed for this position). The cache
// test is inline: most calls find the score there.
int refill_king_shelter(const Position& pos, Entry& e, Color c);
inline int king_shelter_score(const Position& pos, Entry& e, Color c) {
    if (e.shelterValid[c] && e.shelterKingSq[c] == pos.king_square[c] &&
        e.shelterCastling[c] == static_cast<int32_t>(pos.castling_rights))
        return e.shelterScore[c];
    return refill_king_shelter(pos, e, c);
}
// MiB value of the last init (0 before the first).
uint64_t size_mb();
// Number of slots of the shared table (0 before the first init).
uint64_t entry_count();

}  // namespace PawnHash
