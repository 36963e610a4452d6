// Staged move picker: hands one search node its moves one at a time, the
// forced (hash or preferred) moves first, then good captures and promotions,
// quiet moves and bad captures. Each stage is scored lazily when first reached
// and consumed by selection, never sorted; everything lives in fixed arrays.
#pragma once

#include <cstdint>
#include <vector>

#include "board/move.h"
#include "board/position.h"
#include "board/types.h"

// Ordering value of each piece type (victims and attackers of captures,
// promotion bonuses).
inline constexpr int32_t ORDER_VALUE[6] = {100, 320, 330, 500, 900, 20000};

// What a search node knows about good moves, copied into its picker. The table
// pointers point at the bases of the search's history tables (a null pointer
// switches that term off):
//   history      [2 side][64 from][64 to]
//   captureHist  [2 side][6 mover type][64 to][6 victim type]
//   contHist1/2/4 [12 piece][64 to] of the move 1/2/4 plies back, then
//                 [12 piece][64 to] of the quiet move
// prev1/prev2/prev4 are the moves played 1, 2 and 4 plies back (0: none, which
// switches the matching continuation term off).
struct PickerHeuristics {
    const int32_t* history = nullptr;
    const int32_t* captureHist = nullptr;
    const int32_t* contHist1 = nullptr;
    const int32_t* contHist2 = nullptr;
    const int32_t* contHist4 = nullptr;
    uint32_t killer1 = 0;
    uint32_t killer2 = 0;
    uint32_t counter = 0;
    uint32_t prev1 = 0;
    uint32_t prev2 = 0;
    uint32_t prev4 = 0;
};

// Whether the move, played from pos, attacks the enemy king: direct checks by
// the moved or promoted piece and discovered checks through the vacated squares.
// Legality is not tested; of a castling only the king's step is modelled.
// The search tests checks on the made move instead; this serves the ordering.
bool move_gives_check(const Position& pos, unsigned move);

class MovePicker {
public:
    enum Stage : uint32_t { FORCED = 0, GOOD_CAPTURES = 1, QUIETS = 2, BAD_CAPTURES = 3, DONE = 4 };

    struct ScoredMove {
        uint32_t move;
        int32_t score;  // higher first
        int32_t see;    // exchange value of a capture, 0 otherwise
    };

    static constexpr uint64_t CAPACITY = 256;

    // Quiet-move scores at or above this hold a killer, counter-move or check
    // bonus: the history terms alone never reach it.
    static constexpr int32_t QUIET_BONUS_THRESHOLD = 180000;

    // Main search: generates the pseudo-legal moves (refreshing the pin cache of
    // the side to move); ttMove is forced when it is among them.
    MovePicker(Position& pos, unsigned ttMove, const PickerHeuristics& heur);
    // Quiescence search (not in check): captures and promotions, with
    // includeQuietChecks also the quiet checks that do not lose material.
    MovePicker(Position& pos, bool includeQuietChecks, unsigned ttMove, const PickerHeuristics& heur);
    // A given move list (root moves, evasions): the first 256 moves, with first
    // and then second forced when they are in the list.
    MovePicker(Position& pos, const std::vector<unsigned>& moves, unsigned first, unsigned second,
               const PickerHeuristics& heur);

    // The next move, or 0 once none is left (and on every later call).
    // lastScore and lastSee then describe the move returned.
    unsigned next();

    // Building blocks of the constructors and of next(); public for testing.
    void initialize(Position& pos, const PickerHeuristics& heur, bool qsearch, bool includeQuietChecks);
    void build_main_picker(Position& pos, unsigned ttMove, const PickerHeuristics& heur);
    void build_qsearch_picker(Position& pos, bool includeQuietChecks, unsigned ttMove,
                              const PickerHeuristics& heur);
    void build_root_picker(Position& pos, const std::vector<unsigned>& moves, unsigned first, unsigned second,
                           const PickerHeuristics& heur);
    void list_tactical_first(Position& pos);
    // Whether move is in this node's list, including quiet moves not yet listed.
    bool listed(Position& pos, unsigned move) const;

    static bool contains_move(const unsigned* moves, uint64_t count, unsigned move);
    void add_forced_move(unsigned move);
    bool is_forced(unsigned move) const;
    void clear_forced_candidates();
    static unsigned pick_next(ScoredMove* list, uint64_t& cursor, uint64_t count, int& score,
                              int& see);

    void compute_check_squares(const Position& pos);
    void add_capture_or_promotion_move(const Position& pos, unsigned move, const PickerHeuristics& heur);
    void prepare_capture_stage();
    void prepare_quiet_stage();

    // State. The search reads only lastScore and lastSee.
    Position* pos;
    PickerHeuristics heur;
    Bitboard checkSquares[6];  // by piece type: squares from which that piece would check
    // Own pieces that alone block a line from an own slider to the enemy king,
    // each with that line (the squares between and the slider's): leaving the
    // line uncovers a check.
    Bitboard discoverers;
    Bitboard discoverLine[64];  // valid on the squares of discoverers only
    // Whether the check squares and discoverers decide the check of every move
    // other than promotions and en passant captures: set by
    // compute_check_squares when no own piece attacks the enemy king already.
    bool checkShortcut;
    bool qsearchMode;
    bool includeQuietChecks;
    uint32_t stage;
    uint32_t lastStage;  // stage of the move last returned, DONE when none
    int32_t lastScore;
    int32_t lastSee;
    uint32_t moves[CAPACITY];
    uint64_t moveCount;
    bool capturesPrepared;
    bool quietsPrepared;
    // False while moves holds only the captures and promotions and the quiet
    // moves are still to be listed for their stage.
    bool quietsListed;
    uint32_t forcedMoves[2];
    uint64_t forcedCount;
    uint64_t forcedCursor;
    ScoredMove goodCaptures[CAPACITY];
    uint64_t goodCount, goodCursor;
    ScoredMove quiets[CAPACITY];
    uint64_t quietCount, quietCursor;
    ScoredMove badCaptures[CAPACITY];
    uint64_t badCount, badCursor;
};
