// Pin- and check-aware move generation in a fixed order: of its output only
// king moves and en passant captures can leave the mover's king attacked.
#pragma once

#include <cstdint>
#include <vector>

#include "board/position.h"

// A caller's fixed array; appends beyond `capacity` are dropped silently.
struct ArrayMoveSink {
    uint32_t* data;
    uint64_t capacity;
    uint64_t count;
};

struct SemanticMove {
    uint32_t move;
    uint8_t kind;  // 0 quiet, 1 capture, 2 promotion, 3 capture-promotion, 4 en passant, 5 castling
};

// Where the quiet moves of a filtered list may go: a piece of type t onto
// byType[t]; a piece standing on a square of discoverers (one that uncovers
// a line when it leaves) also onto any square off its line[square] (line is
// read on those squares only).
struct QuietTargets {
    const Bitboard* byType;
    Bitboard discoverers;
    const Bitboard* line;
};

// Order of every list: pawns by ascending square (push or promotions Q,R,B,N,
// double push, captures, en passant), then knights, bishops, rooks, queens,
// the king, king-side castling, queen-side castling. Each call refreshes the
// pin cache of the side to move.
namespace MoveGen {

// Writes at most `capacity` moves into out and returns how many; allocates nothing.
uint64_t generate_pseudo_legal(Position& pos, unsigned* out, uint64_t capacity);
void generate_pseudo_legal(Position& pos, std::vector<unsigned>& out);
// The captures and promotions of generate_pseudo_legal, in its order (the
// same pin cache refresh); at most `capacity` of them.
uint64_t generate_tactical(Position& pos, unsigned* out, uint64_t capacity);
// The other moves of generate_pseudo_legal (neither captures nor
// promotions), in its order, of the pieces standing on movers only and, with
// a filter, only those it keeps; at most `capacity` of them. Unlike the other
// generators it leaves the pin cache as it found it: a caller may list these
// moves long after the cache has been filled for other positions, and the
// search goes on reading the pins it last saw, so this call must not change
// them. (Position::with_pins_left_as_found does the keeping.)
uint64_t generate_quiet(Position& pos, unsigned* out, uint64_t capacity, Bitboard movers = ~Bitboard(0),
                        const QuietTargets* filter = nullptr);
// Whether generate_pseudo_legal surely writes the whole list into an array of
// `capacity` moves.
bool fits_whole_list(const Position& pos, uint64_t capacity);
// The legal moves, in generation order; the position is left as it was.
void generate_legal(Position& pos, std::vector<unsigned>& out);
void generate_semantic_pseudo_legal(Position& pos, std::vector<SemanticMove>& out);

}  // namespace MoveGen
