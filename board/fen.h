// Thin wrappers over the FEN reader and writer of Position.
#pragma once

#include <string>

class Position;

namespace fen {

inline constexpr const char* START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

bool parse_fen(const std::string& text, Position& pos, std::string& error);
std::string to_fen(const Position& pos);

}  // namespace fen
