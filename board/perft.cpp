// Perft: counts the leaf nodes of the legal move tree to a fixed depth, with
// captures, en passant, castles and promotions among the last moves.
#include "board/perft.h"

#include <deque>

#include "board/move.h"
#include "board/movegen.h"
#include "board/position.h"

namespace {

// One move list per ply, allocated on first use and reused by every node of
// that ply. A deque keeps references stable while deeper plies are added.
using ListStack = std::deque<std::vector<unsigned>>;

// Counts the moves of the last ply; a depth of 0 or less is the position
// itself, so the recursion ends whatever depth it is handed. Make and unmake
// are inlined: they are most of the work.
[[gnu::flatten]] PerftResult perft_recurse(Position& pos, int depth, ListStack& lists, size_t ply) {
    PerftResult r;
    if (depth <= 0) {
        r.nodes = 1;
        return r;
    }
    if (lists.size() <= ply) lists.emplace_back();
    std::vector<unsigned>& moves = lists[ply];
    MoveGen::generate_legal(pos, moves);

    if (depth == 1) {
        for (const Move m : moves) {
            const Position::Undo u = pos.make_move(m);
            ++r.nodes;
            if (m & FLAG_CAPTURE) ++r.captures;
            if (m & FLAG_EN_PASSANT) ++r.enpassant;
            if (m & FLAG_CASTLING) ++r.castles;
            if (move_promotion(m) != 0) ++r.promotions;
            pos.unmake_move(u);
        }
        return r;
    }

    for (const Move m : moves) {
        const Position::Undo u = pos.make_move(m);
        const PerftResult sub = perft_recurse(pos, depth - 1, lists, ply + 1);
        r.nodes += sub.nodes;
        r.captures += sub.captures;
        r.enpassant += sub.enpassant;
        r.castles += sub.castles;
        r.promotions += sub.promotions;
        pos.unmake_move(u);
    }
    return r;
}

}  // namespace

PerftResult perft(Position& pos, int depth) {
    ListStack lists;
    return perft_recurse(pos, depth, lists, 0);
}

std::vector<std::pair<std::string, uint64_t>> perft_divide(Position& pos, int depth) {
    std::vector<std::pair<std::string, uint64_t>> result;
    // Below depth 1 there are no moves to divide the count over.
    if (depth < 1) return result;

    std::vector<unsigned> moves;
    MoveGen::generate_legal(pos, moves);
    result.reserve(moves.size());
    ListStack lists;
    for (const Move m : moves) {
        const Position::Undo u = pos.make_move(m);
        const uint64_t nodes = perft_recurse(pos, depth - 1, lists, 0).nodes;
        pos.unmake_move(u);
        result.emplace_back(move_to_uci(m), nodes);
    }
    return result;
}
