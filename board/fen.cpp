// Thin wrappers over Position's FEN reader and writer. The Position members
// themselves (set_from_fen, to_fen, board_visual) live in position.cpp, which
// also defines the en passant legality test that the reader shares with
// make_move (PositionMoves::has_legal_en_passant_capture).
#include "board/fen.h"

#include "board/position.h"

namespace fen {

bool parse_fen(const std::string& text, Position& pos, std::string& error) {
    return pos.set_from_fen(text, error);
}

std::string to_fen(const Position& pos) { return pos.to_fen(); }

}  // namespace fen
