// UCI coordinate text of a move word.
#include "board/move.h"

std::string move_to_uci(unsigned move) {
    if (move == 0) return "0000";
    const int from = move_from(move), to = move_to(move);
    std::string s;
    s.reserve(5);
    s += char('a' + (from & 7));
    s += char('1' + (from >> 3));
    s += char('a' + (to & 7));
    s += char('1' + (to >> 3));
    switch (move_promotion(move)) {
        case 0: break;
        case 1: s += 'n'; break;
        case 2: s += 'b'; break;
        case 3: s += 'r'; break;
        default: s += 'q'; break;
    }
    return s;
}
