// The pawn table and the pawn-structure scoring it caches: per-pawn terms,
// passers, pawn attacks and king shelter, computed when an entry misses.
#include "eval/pawnhash.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "board/bitboard.h"
#include "board/position.h"
#include "board/table_memory.h"
#include "eval/eval.h"

namespace PawnHash {

namespace {

// On small pages: the probes repeat a few pawn structures, and huge pages
// measured no faster here.
ZeroedTable<Entry> table;
uint64_t tableEntries = 0;
int tableShift = 64;
uint64_t allocatedMb = 0;

struct PawnMasks {
    Bitboard adjacent[8];
    Bitboard ahead[2][8];   // by colour and rank
    Bitboard band[8];
};
constexpr PawnMasks make_masks() {
    PawnMasks m{};
    for (int i = 0; i < 8; ++i) {
        m.adjacent[i] = adjacent_files(i);
        m.ahead[WHITE][i] = ranks_ahead(WHITE, i);
        m.ahead[BLACK][i] = ranks_ahead(BLACK, i);
        m.band[i] = rank_band(i);
    }
    return m;
}
constexpr PawnMasks MASKS = make_masks();

// Scores one side's pawns into e (added for WHITE, subtracted for BLACK) and
// fills that side's passer counters and mobility exclusions.
void score_pawns(const Position& pos, Entry& e, Color c) {
    const Color o = ~c;
    const Bitboard own = pos.pieces[6 * c];
    const Bitboard enemy = pos.pieces[6 * o];
    const Bitboard occ = pos.occupied;
    int mg = 0, eg = 0;

    for (Bitboard b = own; b;) {
        const int s = pop_lsb(b);
        const int f = s & 7, r = s >> 3;
        const int rr = c == WHITE ? r : 7 - r;
        const Bitboard sq = square_bb(s);
        const Bitboard stop = c == WHITE ? sq << 8 : sq >> 8;
        const bool stopEmpty = !(stop & occ);
        const Bitboard ownAdjacent = own & MASKS.adjacent[f];
        const Bitboard ahead = MASKS.ahead[c][r];
        const int psq = c == WHITE ? s : s ^ 56;

        mg += MG_VALUE[PAWN] + MG_PST[PAWN][psq];
        eg += EG_VALUE[PAWN] + EG_PST[PAWN][psq];

        if (own & file_bb(f) & ~sq) { mg -= 7; eg -= 17; }  // doubled

        const bool isolated = !ownAdjacent;
        if (isolated) {
            mg -= 9; eg -= 15;
        } else if (!(ownAdjacent & (rank_bb(r) | ahead)) && stopEmpty && (stop & e.pawnAttacks[o])) {
            mg -= 7; eg -= 11;  // overextended: neighbours all behind, stop square under pawn fire
        }

        const bool defended = sq & e.pawnAttacks[c];
        const bool phalanx = ownAdjacent & rank_bb(r);
        if (defended) { mg += PAWN_DEFENDED_MG[rr]; eg += PAWN_DEFENDED_EG[rr]; }
        if (phalanx) { mg += PAWN_PHALANX_MG[rr]; eg += PAWN_PHALANX_EG[rr]; }
        if (!defended && !phalanx && !(enemy & file_bb(f) & ahead) && rr > 2) { mg -= 4; eg -= 7; }

        const bool neighbourNear = ownAdjacent & MASKS.band[r];
        const int blockers = popcount(enemy & (file_bb(f) | MASKS.adjacent[f]) & ahead);
        if ((blockers == 1 || blockers == 2) && stopEmpty && (neighbourNear || defended)) {
            mg += CANDIDATE_PASSER_MG[rr];
            eg += CANDIDATE_PASSER_EG[rr];
        }

        if (blockers == 0) {
            e.passed[c] |= sq;
            if (neighbourNear) {
                e.connectedPassers[c] += 1;
                if (rr > 3 && stopEmpty) e.advancedConnectedPassers[c] += 1;
            }
        }

        if (rr < 2 || !stopEmpty) e.mobExcluded[c] |= sq;
    }

    if (c == WHITE) { e.mg += mg; e.eg += eg; }
    else { e.mg -= mg; e.eg -= eg; }
}

// Resets e and evaluates the position's pawn structure into it under key k.
void fill_entry(const Position& pos, Entry& e, uint64_t k) {
    std::memset(&e, 0, sizeof(Entry));
    e.key = k;
    e.pawnAttacks[WHITE] = pawn_attacks_bb<WHITE>(pos.pieces[0]);
    e.pawnAttacks[BLACK] = pawn_attacks_bb<BLACK>(pos.pieces[6]);
    score_pawns(pos, e, WHITE);
    score_pawns(pos, e, BLACK);
}

// 0 marks an empty slot, so a pawnless position is stored under key 1.
inline uint64_t stored_key(const Position& pos) { return pos.pawn_key ? pos.pawn_key : 1; }

}  // namespace

void init(unsigned long long mb) {
    const uint64_t m = mb ? mb : 1;
    // Budget in bytes, saturating instead of wrapping for absurd sizes.
    const uint64_t bytes = m > (UINT64_MAX >> 20) ? UINT64_MAX : m << 20;
    const uint64_t fit = bytes / sizeof(Entry);
    const uint64_t n = fit ? std::bit_floor(fit) : 1;

    tableEntries = n;
    allocatedMb = m;
    tableShift = 64 - std::countr_zero(n);
    table.create(n, false);
}

void clear() { table.clear(); }

Entry* probe(const Position& pos) {
    if (!table) init(8);
    const uint64_t k = stored_key(pos);
    Entry& e = table[slot_index(k, tableShift)];
    if (e.key != k) {
        fill_entry(pos, e, k);
        table.written = true;
    }
    return &e;
}

Entry* probe(const Position& pos, Entry& privateEntry) {
    const uint64_t k = stored_key(pos);
    if (privateEntry.key != k) fill_entry(pos, privateEntry, k);
    return &privateEntry;
}

namespace {
// STORM_BAND[k][d]: the squares on the king's file and its neighbours exactly d
// ranks above or below king square k, where enemy pawns count as a storm.
constexpr auto STORM_BAND = [] {
    std::array<std::array<Bitboard, 4>, 64> band{};
    for (int k = 0; k < 64; ++k)
        for (int s = 0; s < 64; ++s) {
            const int df = file_of(s) - file_of(k), dr = rank_of(s) - rank_of(k);
            const int adr = dr < 0 ? -dr : dr;
            if (df >= -1 && df <= 1 && adr >= 1 && adr <= 3) band[k][adr] |= square_bb(s);
        }
    return band;
}();

// Shelter and storm of a king on square ksq with own and enemy pawns, seen
// from WHITE's side: BLACK's king is scored on the board turned over.
int shelter_from_white_side(Bitboard own, Bitboard enemy, int ksq) {
    static constexpr int SHELTER_BY_DISTANCE[4] = {0, 15, 7, 2};
    const int kf = ksq & 7, kr = ksq >> 3;
    int score = 0;

    // Base: a king at home in the corner is safer than one in the centre.
    if (kr == 0) score = (kf == 3 || kf == 4) ? -13 : kf == 5 ? 0 : 13;

    // Shelter: nearest own pawn up to three ranks ahead on each window file.
    // The three ranks ahead, shifted down to ranks 1 to 3.
    const Bitboard ahead = kr < 7 ? (own >> (8 * (kr + 1))) & 0xFFFFFFULL : 0;
    for (int f = std::max(kf - 1, 0); f <= std::min(kf + 1, 7); ++f) {
        const bool kingFile = f == kf;
        const Bitboard column = (ahead >> f) & 0x010101ULL;
        score += column ? SHELTER_BY_DISTANCE[lsb(column) / 8 + 1] : (kingFile ? -15 : -9);
        if (!(own & file_bb(f))) {
            if (enemy & file_bb(f)) score += kingFile ? -6 : -3;
            else score += kingFile ? -15 : -10;
        }
    }

    // Storm: enemy pawns close to the king, ahead of it or behind.
    for (int dr = 1; dr <= 3; ++dr) score -= KING_STORM_PENALTY_MG[dr] * popcount(enemy & STORM_BAND[ksq][dr]);
    return score;
}
}  // namespace

int refill_king_shelter(const Position& pos, Entry& e, Color c) {
    const int ksq = pos.king_square[c];
    int score = 0;
    if (ksq != NO_SQUARE) {
        const Bitboard own = pos.pieces[6 * c], enemy = pos.pieces[6 * ~c];
        score = c == WHITE ? shelter_from_white_side(own, enemy, ksq)
                           : shelter_from_white_side(__builtin_bswap64(own), __builtin_bswap64(enemy), ksq ^ 56);
    }

    e.shelterScore[c] = score;
    e.shelterKingSq[c] = ksq;
    e.shelterCastling[c] = static_cast<int32_t>(pos.castling_rights);
    e.shelterValid[c] = true;
    return score;
}

uint64_t size_mb() { return allocatedMb; }

uint64_t entry_count() { return tableEntries; }

}  // namespace PawnHash
