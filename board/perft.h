// Counts the leaves of the legal move tree with the captures, en passant
// captures, castlings and promotions of the last ply.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class Position;

struct PerftResult {
    uint64_t nodes = 0;
    uint64_t captures = 0;
    uint64_t enpassant = 0;
    uint64_t castles = 0;
    uint64_t promotions = 0;
};

// A depth of 0 or less counts the position itself: one node.
PerftResult perft(Position& pos, int depth);
// Per legal move, in generation order: its UCI text and the nodes below it.
// Empty for a depth below 1.
std::vector<std::pair<std::string, uint64_t>> perft_divide(Position& pos, int depth);
