// Position: placement, queries, material and repetition tests, en passant
// legality; make/unmake and null moves; FEN reading
// and writing and the board picture.
#include "board/position.h"

#include <algorithm>
#include <array>
#include <limits>
#include <sstream>

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/move.h"
#include "board/pext.h"
#include "board/zobrist.h"

namespace {

using namespace PositionMoves;

// Squares strictly between two squares on one line (rook or bishop line as
// given), by intersecting the two lookups with each other square as blocker.
inline Bitboard between_straight(int a, int b) {
    return PEXT::rook_attacks_pext(a, square_bb(b)) & PEXT::rook_attacks_pext(b, square_bb(a));
}
inline Bitboard between_diagonal(int a, int b) {
    return PEXT::bishop_attacks_pext(a, square_bb(b)) & PEXT::bishop_attacks_pext(b, square_bb(a));
}

// For each pinner on one kind of line through the king k: when exactly one own
// piece stands between, that piece is pinned and may move only along the ray.
template <Bitboard (*Between)(int, int)>
inline void add_pins(Bitboard pinners, int k, Bitboard own, Bitboard& pinned, Bitboard* pin_ray) {
    while (pinners) {
        const int p = pop_lsb(pinners);
        const Bitboard between = Between(p, k);
        const Bitboard mine = between & own;
        if (mine && !(mine & (mine - 1))) {
            pinned |= mine;
            pin_ray[lsb(mine)] = between | square_bb(k) | square_bb(p);
        }
    }
}

// Where the castling rook stands before and after, by colour and wing (the
// king's target on the g-file for the king side, else the queen side).
struct CastlingRook {
    int corner, castled;
};
constexpr CastlingRook CASTLING_ROOK[2][2] = {{{SQ_H1, SQ_F1}, {SQ_A1, SQ_D1}}, {{SQ_H8, SQ_F8}, {SQ_A8, SQ_D8}}};
inline const CastlingRook& castling_rook(int c, int king_to) { return CASTLING_ROOK[c][file_of(king_to) != 6]; }

}  // namespace

// Whether some pawn of `capturer` can take en passant onto ep without leaving
// its own king attacked. Reads the colour occupancies, not `occupied`
// (make_move calls it before refreshing `occupied`).
bool PositionMoves::has_legal_en_passant_capture(const Position& pos, int ep, Color capturer) {
    if (ep < 0 || ep > 63) return false;
    const int enemy = capturer ^ 1;
    const int v = en_passant_victim(capturer, ep);
    if (v < 0 || v > 63) return false;
    const int enemy_pawn = 6 * enemy;
    if (pos.board[v] != enemy_pawn) return false;
    const int own_pawn = 6 * capturer;
    Bitboard cands =
        pos.pieces[own_pawn] & (capturer == WHITE ? Attack::pawnAttacksBlack[ep] : Attack::pawnAttacksWhite[ep]);
    if (!cands) return false;
    const int k = pos.king_square[capturer];
    if (k == NO_SQUARE) return true;

    const int eb = 6 * enemy;
    // Attacks that no en passant capture can change: pawns other than the
    // victim, knights, the king.
    const Bitboard pawn_from = capturer == WHITE ? Attack::pawnAttacksWhite[k] : Attack::pawnAttacksBlack[k];
    if ((pos.pieces[eb] & ~square_bb(v)) & pawn_from) return false;
    if (pos.pieces[eb + KNIGHT] & Attack::knightAttacks[k]) return false;
    if (pos.pieces[eb + KING] & Attack::kingAttacks[k]) return false;
    const Bitboard diag = pos.pieces[eb + BISHOP] | pos.pieces[eb + QUEEN];
    const Bitboard straight = pos.pieces[eb + ROOK] | pos.pieces[eb + QUEEN];
    const Bitboard base = ((pos.occupancy[0] | pos.occupancy[1]) & ~square_bb(v)) | square_bb(ep);
    while (cands) {
        const int from = pop_lsb(cands);
        const Bitboard o = base & ~square_bb(from);
        if (diag & PEXT::bishop_attacks_pext(k, o)) continue;
        if (straight & PEXT::rook_attacks_pext(k, o)) continue;
        return true;
    }
    return false;
}


// ---------------------------------------------------------------------------
// Construction and reset

Position::Position()
    : pieces{},
      board{},
      piece_count{},
      king_square{},
      occupancy{},
      occupied(0),
      side(0),
      pinned{},
      pin_ray{},
      placement_facts(0),
      king_checkers{},
      castling_rights(0),
      ep_square(0),
      halfmove_clock(0),
      fullmove_number(0),
      plies_since_null(0),
      key(0),
      pawn_key(0),
      non_pawn_key(0),
      key_history() {
    clear();
}

namespace {

// Keys from scratch and a history holding only the current key, with room
// reserved so that a game plus a search does not normally reallocate.
void restart_keys(Position& pos) {
    pos.key = Zobrist::compute_key(pos);
    pos.pawn_key = Zobrist::compute_pawn_key(pos);
    pos.non_pawn_key = Zobrist::compute_non_pawn_key(pos);
    pos.key_history.clear();
    if (pos.key_history.capacity() < 256) {
        std::vector<uint64_t> fresh;
        fresh.reserve(256);
        pos.key_history.swap(fresh);
    }
    pos.key_history.push_back(pos.key);
}

}  // namespace

void Position::clear() {
    std::fill(std::begin(pieces), std::end(pieces), Bitboard(0));
    std::fill(std::begin(board), std::end(board), NO_PIECE);
    std::fill(std::begin(piece_count), std::end(piece_count), 0);
    king_square[0] = king_square[1] = NO_SQUARE;
    occupancy[0] = occupancy[1] = 0;
    occupied = 0;
    side = WHITE;
    pinned[0] = pinned[1] = 0;
    std::fill(std::begin(pin_ray), std::end(pin_ray), Bitboard(0));
    placement_facts = 0;
    king_checkers[0] = king_checkers[1] = 0;
    castling_rights = 0;
    ep_square = NO_SQUARE;
    halfmove_clock = 0;
    fullmove_number = 1;
    plies_since_null = 0;
    restart_keys(*this);
}

// ---------------------------------------------------------------------------
// Placement

void Position::set_piece_at_square(int piece, int sq) {
    if (sq < 0 || sq > 63) return;
    if (piece < 0 || piece > 11) return;  // not a piece code: nothing to place
    if (board[sq] != NO_PIECE) take_piece(*this, board[sq], sq);
    put_piece(*this, piece, sq);
    occupied = occupancy[0] | occupancy[1];
    placement_facts = 0;
}

void Position::remove_piece_at_square(int, int sq) {
    if (sq < 0 || sq > 63) return;
    const int p = board[sq];
    if (p == NO_PIECE) return;
    take_piece(*this, p, sq);
    occupied = occupancy[0] | occupancy[1];
    placement_facts = 0;
}

void Position::recompute_occupancies() {
    std::fill(std::begin(board), std::end(board), NO_PIECE);
    std::fill(std::begin(piece_count), std::end(piece_count), 0);
    king_square[0] = king_square[1] = NO_SQUARE;
    occupancy[0] = occupancy[1] = 0;
    for (int p = 0; p < 12; ++p) {
        const int c = p > 5;
        piece_count[p] = popcount(pieces[p]);
        occupancy[c] |= pieces[p];
        Bitboard b = pieces[p];
        while (b) board[pop_lsb(b)] = p;
        if (p % 6 == KING && pieces[p]) king_square[c] = msb(pieces[p]);
    }
    occupied = occupancy[0] | occupancy[1];
    placement_facts = 0;
    key = Zobrist::compute_key(*this);
    pawn_key = Zobrist::compute_pawn_key(*this);
    non_pawn_key = Zobrist::compute_non_pawn_key(*this);
}

int Position::piece_index_from_char(char c) {
    switch (c) {
        case 'P': return 0;
        case 'N': return 1;
        case 'B': return 2;
        case 'R': return 3;
        case 'Q': return 4;
        case 'K': return 5;
        case 'p': return 6;
        case 'n': return 7;
        case 'b': return 8;
        case 'r': return 9;
        case 'q': return 10;
        case 'k': return 11;
        default: return -1;
    }
}

// ---------------------------------------------------------------------------
// Queries

Bitboard Position::check_block_mask(Color c) const { return check_block_mask(c, checker_mask(c)); }

Bitboard Position::check_block_mask(Color c, Bitboard checkers) const {
    const int k = king_square[c];
    if (k == NO_SQUARE) return ALL_SQUARES;
    if (!checkers) {
        // Not in check, or (never in a valid position) attacked by the enemy
        // king alone, which no move of another piece can resolve.
        return (pieces[6 * (c ^ 1) + KING] & Attack::kingAttacks[k]) ? Bitboard(0) : ALL_SQUARES;
    }
    if (checkers & (checkers - 1)) return 0;
    const int s = lsb(checkers);
    const int t = type_of_piece(board[s]);
    if (t == PAWN || t == KNIGHT) return checkers;
    const bool straight = (s & 7) == (k & 7) || (s >> 3) == (k >> 3);
    return checkers | (straight ? between_straight(s, k) : between_diagonal(s, k));
}

void Position::compute_pins(Color c) {
    pinned[c] = 0;
    const int k = king_square[c];
    if (k == NO_SQUARE) return;
    const Bitboard own = occupancy[c];
    const Bitboard e = occupied & ~own;
    const int eb = 6 * (c ^ 1);
    const Bitboard queens = pieces[eb + QUEEN];
    add_pins<between_straight>(PEXT::rook_attacks_pext(k, e) & (pieces[eb + ROOK] | queens), k, own, pinned[c],
                               pin_ray);
    add_pins<between_diagonal>(PEXT::bishop_attacks_pext(k, e) & (pieces[eb + BISHOP] | queens), k, own, pinned[c],
                               pin_ray);
}

bool Position::has_non_pawn_material(Color c) const {
    const int b = 6 * c;
    return piece_count[b + KNIGHT] > 0 || piece_count[b + BISHOP] > 0 || piece_count[b + ROOK] > 0 ||
           piece_count[b + QUEEN] > 0;
}

// Called only when no pawn, rook or queen is left.
bool Position::minor_pieces_cannot_mate() const {
    const int wn = piece_count[1], wb = piece_count[2], bn = piece_count[7], bb = piece_count[8];
    const int w = wn + wb, b = bn + bb;
    if (w + b == 0) return true;
    if (w <= 1 && b == 0) return true;
    if (w == 0 && b <= 1) return true;
    if (wb == 1 && bb == 1 && wn == 0 && bn == 0) {
        const int s1 = lsb(pieces[2]), s2 = lsb(pieces[8]);
        return (((s1 >> 3) + s1) & 1) == (((s2 >> 3) + s2) & 1);
    }
    return false;
}

int Position::repetition_count() const {
    if (key_history.empty()) return 0;
    const uint64_t last = key_history.back();
    return int(std::count(key_history.begin(), key_history.end(), last));
}

bool Position::is_threefold_repetition() const { return repetition_count() > 2; }

// ---------------------------------------------------------------------------
// Making and unmaking moves

void PositionMoves::make_special_move(Position& pos, unsigned move, Position::Undo& u) {
    const int from = move_from(move), to = move_to(move), p = move_piece(move), t = move_promotion(move);
    const int c = p > 5;
    if (t) {
        take_piece(pos, p, from);
        const int x = pos.board[to];
        if (x != NO_PIECE) {
            take_piece(pos, x, to);
            u.captured_piece = x;
        }
        put_piece(pos, t + 6 * c, to);
        pos.halfmove_clock = 0;
    } else if (move & FLAG_EN_PASSANT) {
        const int v = en_passant_victim(c, to);
        shift_piece(pos, p, from, to);
        const int x = pos.board[v];
        if (x != NO_PIECE) {
            take_piece(pos, x, v);
            u.captured_piece = x;
        }
        pos.halfmove_clock = 0;
    } else {
        shift_piece(pos, p, from, to);
        const CastlingRook& r = castling_rook(c, to);
        const int rook = c == WHITE ? W_ROOK : B_ROOK;
        if (pos.board[r.corner] == rook) shift_piece(pos, rook, r.corner, r.castled);
        pos.halfmove_clock = saturating_inc(pos.halfmove_clock);
    }
}

void PositionMoves::unmake_special_move(Position& pos, unsigned m, int x) {
    const int from = move_from(m), to = move_to(m), p = move_piece(m), c = p > 5;
    if (const int t = move_promotion(m)) {
        lift_piece(pos, t + 6 * c, to);
        place_piece(pos, p, from);
        if (x != NO_PIECE) place_piece(pos, x, to);
    } else if (m & FLAG_EN_PASSANT) {
        slide_piece(pos, p, to, from);
        if (x != NO_PIECE) place_piece(pos, x, en_passant_victim(c, to));
    } else {
        slide_piece(pos, p, to, from);
        const CastlingRook& r = castling_rook(c, to);
        const int rook = c == WHITE ? W_ROOK : B_ROOK;
        if (pos.board[r.castled] == rook) slide_piece(pos, rook, r.castled, r.corner);
    }
}

Position::Undo Position::make_null_move() {
    const Undo u = undo_record(*this, 0);

    if (ep_square != NO_SQUARE) {
        key ^= zep(ep_square);
        ep_square = NO_SQUARE;
    }
    plies_since_null = 0;
    if (side == BLACK) fullmove_number = saturating_inc(fullmove_number);
    side ^= 1;
    key ^= zside();
    key_history.push_back(key);
    return u;
}

void Position::unmake_null_move(const Undo& u) {
    if (!key_history.empty()) key_history.pop_back();
    // A null move leaves the pawn and non-pawn keys alone: restoring them too
    // changes nothing.
    restore_state(*this, u);
}

bool Position::is_move_legal(unsigned move) const {
    Position copy(*this);
    copy.make_move(move);
    const int k = copy.king_square[copy.side ^ 1];
    if (k == NO_SQUARE) return true;
    return !copy.is_square_attacked(k, Color(copy.side));
}

// ---------------------------------------------------------------------------
// FEN reading and writing, board picture

namespace {

inline bool fen_fail(std::string& error, const char* what) {
    error = std::string("FEN parse error: ") + what;
    return false;
}

}  // namespace

bool Position::set_from_fen(const std::string& fen, std::string& error) {
    std::istringstream in(fen);
    std::string placement, side_field, castle_field, ep_field;
    if (!(in >> placement)) return fen_fail(error, "empty");
    if (!(in >> side_field)) return fen_fail(error, "missing side");
    if (!(in >> castle_field)) return fen_fail(error, "missing castling");
    if (!(in >> ep_field)) return fen_fail(error, "missing ep");

    clear();

    // Placement.
    int rank = 7, file = 0;
    const size_t n = placement.size();
    for (size_t i = 0; i < n; ++i) {
        const char ch = placement[i];
        if (ch == '/') {
            if (file != 8) return fen_fail(error, "bad file count");
            if (--rank < 0) return fen_fail(error, "too many ranks");
            if (i + 1 == n) return fen_fail(error, "board not fully filled");
            file = 0;
        } else if (ch >= '1' && ch <= '8') {
            file += ch - '0';
            if (file > 8) return fen_fail(error, "file overflow");
        } else if (ch == '0' || ch == '9') {
            return fen_fail(error, "invalid empty-square count");
        } else {
            const int p = piece_index_from_char(ch);
            if (p < 0) {
                error = std::string("FEN parse error: invalid piece char: ") + ch;
                return false;
            }
            if (file >= 8) return fen_fail(error, "file overflow (when placing piece)");
            set_piece_at_square(p, 8 * rank + file);
            ++file;
        }
    }
    if (rank != 0 || file != 8) return fen_fail(error, "board not fully filled");

    // Side to move.
    if (side_field == "w")
        side = WHITE;
    else if (side_field == "b")
        side = BLACK;
    else
        return fen_fail(error, "invalid side");

    // Castling rights.
    castling_rights = 0;
    if (castle_field != "-") {
        for (const char ch : castle_field) {
            uint32_t bit;
            switch (ch) {
                case 'K': bit = CASTLE_WHITE_KING; break;
                case 'Q': bit = CASTLE_WHITE_QUEEN; break;
                case 'k': bit = CASTLE_BLACK_KING; break;
                case 'q': bit = CASTLE_BLACK_QUEEN; break;
                default:
                    error = std::string("FEN parse error: invalid castling char: ") + ch;
                    return false;
            }
            if (castling_rights & bit) return fen_fail(error, "duplicate castling right");
            castling_rights |= bit;
        }
    }

    // En passant square.
    if (ep_field == "-") {
        ep_square = NO_SQUARE;
    } else if (ep_field.size() == 2) {
        const char f = ep_field[0], r = ep_field[1];
        if (f < 'a' || f > 'h' || r < '1' || r > '8') return fen_fail(error, "invalid ep coordinates");
        ep_square = (f - 'a') + 8 * (r - '1');
    } else {
        return fen_fail(error, "invalid en-passant");
    }

    // Clocks: standard stream extraction; a failed read gives the default,
    // and after a failed halfmove read the fullmove read fails too.
    bool half_read = false, full_read = false;
    int half = 0, full = 1;
    if (in >> half) {
        half_read = true;
        if (in >> full)
            full_read = true;
        else
            full = 1;
    } else {
        half = 0;
    }
    halfmove_clock = half;
    fullmove_number = full;

    // Validation: the first rule broken gives the message, in this order: clocks
    // in range, one king each, no pawn on the first or last rank, a usable en
    // passant square, castling rights backed by king and rook on their squares,
    // kings apart, the side not to move not in check.
    if (half_read && half < 0) return fen_fail(error, "halfmove clock cannot be negative");
    if (full_read && full < 1) return fen_fail(error, "fullmove number must be at least 1");
    if (piece_count[W_KING] != 1) return fen_fail(error, "expected exactly one white king");
    if (piece_count[B_KING] != 1) return fen_fail(error, "expected exactly one black king");
    if ((pieces[0] | pieces[6]) & (RANK_1 | RANK_8))
        return fen_fail(error, "pawns cannot be on first or eighth rank");
    if (ep_square != NO_SQUARE) {
        if (board[ep_square] != NO_PIECE) return fen_fail(error, "en-passant target square is occupied");
        const int want_rank = side == WHITE ? 5 : 2;
        if ((ep_square >> 3) != want_rank) return fen_fail(error, "en-passant square is on the wrong rank");
        const bool pawn_behind = side == WHITE ? board[ep_square - 8] == 6 : board[ep_square + 8] == 0;
        if (!pawn_behind) return fen_fail(error, "en-passant square has no matching pawn");
    }
    if ((castling_rights & CASTLE_WHITE_KING) && !(board[SQ_E1] == W_KING && board[SQ_H1] == W_ROOK))
        return fen_fail(error, "white kingside castling right without king and rook");
    if ((castling_rights & CASTLE_WHITE_QUEEN) && !(board[SQ_E1] == W_KING && board[SQ_A1] == W_ROOK))
        return fen_fail(error, "white queenside castling right without king and rook");
    if ((castling_rights & CASTLE_BLACK_KING) && !(board[SQ_E8] == B_KING && board[SQ_H8] == B_ROOK))
        return fen_fail(error, "black kingside castling right without king and rook");
    if ((castling_rights & CASTLE_BLACK_QUEEN) && !(board[SQ_E8] == B_KING && board[SQ_A8] == B_ROOK))
        return fen_fail(error, "black queenside castling right without king and rook");
    if (Attack::kingAttacks[king_square[WHITE]] & square_bb(king_square[BLACK]))
        return fen_fail(error, "kings are adjacent");
    if (is_square_attacked(king_square[side ^ 1], Color(side)))
        return fen_fail(error, "side not to move is in check");

    if (ep_square != NO_SQUARE && !has_legal_en_passant_capture(*this, ep_square, Color(side)))
        ep_square = NO_SQUARE;

    restart_keys(*this);
    return true;
}

namespace {
constexpr char PIECE_LETTERS[] = "PNBRQKpnbrqk";
}

std::string Position::to_fen() const {
    std::string s;
    s.reserve(90);
    for (int r = 7; r >= 0; --r) {
        int empty = 0;
        for (int f = 0; f < 8; ++f) {
            const int p = board[8 * r + f];
            if (p == NO_PIECE) {
                ++empty;
                continue;
            }
            if (empty) s += char('0' + empty), empty = 0;
            s += PIECE_LETTERS[p];
        }
        if (empty) s += char('0' + empty);
        if (r) s += '/';
    }
    s += side == WHITE ? " w " : " b ";
    if (!(castling_rights & 15)) {
        s += '-';
    } else {
        if (castling_rights & CASTLE_WHITE_KING) s += 'K';
        if (castling_rights & CASTLE_WHITE_QUEEN) s += 'Q';
        if (castling_rights & CASTLE_BLACK_KING) s += 'k';
        if (castling_rights & CASTLE_BLACK_QUEEN) s += 'q';
    }
    s += ' ';
    if (ep_square == NO_SQUARE) {
        s += '-';
    } else {
        s += char('a' + ep_square % 8);
        s += char('1' + ep_square / 8);
    }
    s += ' ';
    s += std::to_string(halfmove_clock);
    s += ' ';
    s += std::to_string(fullmove_number);
    return s;
}

std::string Position::board_visual() const {
    std::string s;
    s.reserve(9 * 20);
    for (int r = 7; r >= 0; --r) {
        s += char('1' + r);
        s += ' ';
        for (int f = 0; f < 8; ++f) {
            const int p = board[8 * r + f];
            s += p == NO_PIECE ? '.' : PIECE_LETTERS[p];
            s += ' ';
        }
        s += '\n';
    }
    s += "  a b c d e f g h\n";
    return s;
}
