// The pawn table and the pawn-structure scoring it caches: per-pawn terms,
// passers, pawn attacks and king shelter, computed when an entry misses.
#include "eval/pawnhash.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>

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

constexpr Bitboard RANKS_1_TO_3 = RANK_1 | RANK_2 | RANK_3;
constexpr Bitboard RANK_4_FILE_A = square_bb(SQ_A4);

// FRONT_SPAN[s]: the squares ahead of square s (towards rank 8) on its own
// and the adjacent files, where enemy pawns stop a pawn on s from passing.
constexpr auto FRONT_SPAN = [] {
    std::array<Bitboard, 64> span{};
    for (int s = 0; s < 64; ++s) span[s] = (file_bb(s & 7) | adjacent_files(s & 7)) & ranks_ahead(WHITE, s >> 3);
    return span;
}();

// PAWN_SQUARE_TERMS[s][k]: a pawn's piece-square value on s plus, by the bits
// of k, its bonus as a defended pawn (1) and as a phalanx member (2) on the
// rank of s. One walk over the pawns with one read each replaces a walk per
// term, and the exits of the walks the predictor would guess wrong.
struct PawnTerm {
    int mg, eg;
};
constexpr auto PAWN_SQUARE_TERMS = [] {
    std::array<std::array<PawnTerm, 4>, 64> t{};
    for (int s = 0; s < 64; ++s)
        for (int k = 0; k < 4; ++k) {
            const int rr = s >> 3;
            t[s][k].mg = MG_PST[PAWN][s] + (k & 1 ? PAWN_DEFENDED_MG[rr] : 0) + (k & 2 ? PAWN_PHALANX_MG[rr] : 0);
            t[s][k].eg = EG_PST[PAWN][s] + (k & 1 ? PAWN_DEFENDED_EG[rr] : 0) + (k & 2 ? PAWN_PHALANX_EG[rr] : 0);
        }
    return t;
}();

// What one side's pawns give the entry.
struct SidePawns {
    int mg, eg;
    Bitboard passed, mobExcluded;
    int connectedPassers, advancedConnectedPassers;
};

// One side's pawns scored as if they were WHITE's, moving towards rank 8:
// BLACK's are scored on the board turned over, where their relative rank is
// the rank and their piece-square index the square. Each term is a set of
// pawns, counted by population counts; the values that depend on the square
// are read in one walk over the pawns, and the candidate passers, which need
// a count per pawn, walk their (few) pawns.
SidePawns score_pawns_upwards(Bitboard own, Bitboard enemy, Bitboard occ, Bitboard ownAttacks, Bitboard enemyAttacks) {
    constexpr Bitboard RANKS_1_TO_4 = RANKS_1_TO_3 | RANK_1 << 24;
    const Bitboard stopEmpty = own & ~(occ >> 8);
    const Bitboard isolated = own & ~beside(fill_down(fill_up(own)));
    const Bitboard doubled = own & (fill_up(own << 8) | fill_down(own >> 8));
    // Not isolated, but every neighbour behind, and the free stop square under enemy pawn fire.
    const Bitboard overextended = own & ~isolated & ~beside(fill_down(own)) & stopEmpty & (enemyAttacks >> 8);
    const Bitboard defended = own & ownAttacks;
    const Bitboard phalanx = own & beside(own);
    // Neither defended nor in a phalanx, no enemy pawn ahead on the file, past the third rank.
    const Bitboard unsupported = own & ~defended & ~phalanx & ~fill_down(enemy >> 8) & ~RANKS_1_TO_3;
    const Bitboard neighbourNear = own & beside(own | own << 8 | own >> 8);
    const Bitboard passed = own & ~fill_down((enemy | beside(enemy)) >> 8);

    SidePawns r{};
    r.mg = MG_VALUE[PAWN] * popcount(own) - 7 * popcount(doubled) - 9 * popcount(isolated) -
           7 * popcount(overextended) - 4 * popcount(unsupported);
    r.eg = EG_VALUE[PAWN] * popcount(own) - 17 * popcount(doubled) - 15 * popcount(isolated) -
           11 * popcount(overextended) - 7 * popcount(unsupported);
    // The same as adding the piece-square value of every pawn, then
    // PAWN_DEFENDED_* for each defended pawn and PAWN_PHALANX_* for each
    // phalanx member; PawnStructure.MatchesThePawnByPawnModelOverRandomBoards
    // compares the entry with those terms added pawn by pawn.
    for (Bitboard b = own; b;) {
        const int s = pop_lsb(b);
        const PawnTerm& t = PAWN_SQUARE_TERMS[s][((defended >> s) & 1) | ((phalanx >> s) & 1) << 1];
        r.mg += t.mg;
        r.eg += t.eg;
    }
    // Candidate passers: one or two enemy pawns ahead on the own and adjacent files.
    for (Bitboard b = stopEmpty & (neighbourNear | defended) & ~passed; b;) {
        const int s = pop_lsb(b);
        const int rr = s >> 3;
        // A 0/1 factor: whether the pawn qualifies is a guess for a test. The
        // same as `if (popcount(enemy & FRONT_SPAN[s]) <= 2) { r.mg += ...; }`,
        // checked by PawnStructure.MatchesThePawnByPawnModelOverRandomBoards.
        const int few = popcount(enemy & FRONT_SPAN[s]) <= 2;
        r.mg += few * CANDIDATE_PASSER_MG[rr];
        r.eg += few * CANDIDATE_PASSER_EG[rr];
    }

    r.passed = passed;
    r.connectedPassers = popcount(passed & neighbourNear);
    r.advancedConnectedPassers = popcount(passed & neighbourNear & stopEmpty & ~RANKS_1_TO_4);
    r.mobExcluded = (own & (RANK_1 | RANK_2)) | (own & ~stopEmpty);
    return r;
}

// Resets e and evaluates the position's pawn structure into it under key k.
// Kept out of line: a probe misses about one time in ten, and inlined the
// fill makes every hit save and restore the registers it needs.
[[gnu::noinline]] void fill_entry(const Position& pos, Entry& e, uint64_t k) {
    const Bitboard wp = pos.pieces[PAWN], bp = pos.pieces[6 + PAWN], occ = pos.occupied;
    e = Entry{};
    e.key = k;
    e.pawnAttacks[WHITE] = pawn_attacks_bb<WHITE>(wp);
    e.pawnAttacks[BLACK] = pawn_attacks_bb<BLACK>(bp);
    const SidePawns w = score_pawns_upwards(wp, bp, occ, e.pawnAttacks[WHITE], e.pawnAttacks[BLACK]);
    const SidePawns b =
        score_pawns_upwards(flip(bp), flip(wp), flip(occ), flip(e.pawnAttacks[BLACK]), flip(e.pawnAttacks[WHITE]));
    e.mg = w.mg - b.mg;
    e.eg = w.eg - b.eg;
    e.passed[WHITE] = w.passed;
    e.passed[BLACK] = flip(b.passed);
    e.mobExcluded[WHITE] = w.mobExcluded;
    e.mobExcluded[BLACK] = flip(b.mobExcluded);
    e.connectedPassers[WHITE] = w.connectedPassers;
    e.connectedPassers[BLACK] = b.connectedPassers;
    e.advancedConnectedPassers[WHITE] = w.advancedConnectedPassers;
    e.advancedConnectedPassers[BLACK] = b.advancedConnectedPassers;
}

// 0 marks an empty slot, so a pawnless position is stored under key 1.
inline uint64_t stored_key(const Position& pos) { return pos.pawn_key ? pos.pawn_key : 1; }

}  // namespace

bool init(unsigned long long mb) {
    const uint64_t m = mb ? mb : 1;
    // Budget in bytes, saturating instead of wrapping for absurd sizes.
    const uint64_t bytes = m > (UINT64_MAX >> 20) ? UINT64_MAX : m << 20;
    const uint64_t fit = bytes / sizeof(Entry);
    const uint64_t n = fit ? std::bit_floor(fit) : 1;

    allocatedMb = m;
    tableEntries = n;
    tableShift = 64 - std::countr_zero(n);
    if (table.create(n, false)) return true;
    tableEntries = 0;
    return false;
}

void clear() { table.clear(); }

Entry* probe(const Position& pos) {
    // Without a table from the search's set-up (tests and benchmarks), a
    // default one; where even that is missing, going on is impossible.
    if (!table && !init(8)) std::abort();
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
// from WHITE's side: BLACK's king is scored on the board turned over. The
// terms are table reads rather than tests: the shelter is recomputed whenever
// a king moves, and its pawn patterns are hard for a branch predictor. Each
// read stands for the tests of the rule: the base by file for
// `kf == 3 || kf == 4 ? -13 : kf == 5 ? 0 : 13`, SHELTER_PAWN for
// `pawn ahead ? value by its distance : (kingFile ? -15 : -9)`, FILE_PAWNS for
// `if (!ownOnFile) score += enemyOnFile ? ... : ...`.
// KingShelter.MatchesTheRuleOverRandomPawnsAndEveryKingSquare compares the
// score with those tests walked square by square.
int shelter_from_white_side(Bitboard own, Bitboard enemy, int ksq) {
    // Base by the king's file when it stands on its back rank: a king at home
    // in the corner is safer than one in the centre.
    static constexpr int BACK_RANK_BASE[8] = {13, 13, 13, -13, -13, 0, 13, 13};
    // By [king's file or not][nearest own pawn one, two or three ranks ahead, or none].
    static constexpr int SHELTER_PAWN[2][4] = {{15, 7, 2, -9}, {15, 7, 2, -15}};
    // By [king's file or not][own pawn on the file][enemy pawn on the file].
    static constexpr int FILE_PAWNS[2][2][2] = {{{-10, -3}, {0, 0}}, {{-15, -6}, {0, 0}}};
    const int kf = ksq & 7, kr = ksq >> 3;
    int score = kr == 0 ? BACK_RANK_BASE[kf] : 0;

    // Shelter: nearest own pawn up to three ranks ahead on each window file.
    // The three ranks ahead, shifted down to ranks 1 to 3; a bit on rank 4
    // stands for no pawn.
    constexpr Bitboard FILE_A_RANKS_1_TO_3 = FILE_A & RANKS_1_TO_3;
    const Bitboard ahead = kr < 7 ? (own >> (8 * (kr + 1))) & RANKS_1_TO_3 : 0;
    // Always three steps, the one off the board skipped: a fixed count that
    // unrolls without a loop exit to guess.
    for (int f = kf - 1; f <= kf + 1; ++f) {
        if (f < 0 || f > 7) continue;
        const int kingFile = f == kf;
        const Bitboard column = ((ahead >> f) & FILE_A_RANKS_1_TO_3) | RANK_4_FILE_A;
        score += SHELTER_PAWN[kingFile][lsb(column) / 8];
        score += FILE_PAWNS[kingFile][(own & file_bb(f)) != 0][(enemy & file_bb(f)) != 0];
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
                           : shelter_from_white_side(flip(own), flip(enemy), ksq ^ 56);
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
