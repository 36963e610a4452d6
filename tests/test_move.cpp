// The move word and its UCI text.
#include <gtest/gtest.h>

#include "board/move.h"
#include "tests/test_util.h"

using vwtest::sq;

TEST(MoveTest, NoMove) { EXPECT_EQ(move_to_uci(0), "0000"); }

TEST(MoveTest, CastlingWords) {
    EXPECT_EQ(MOVE_WHITE_OO, 0x805184u);
    EXPECT_EQ(MOVE_WHITE_OOO, 0x805084u);
    EXPECT_EQ(MOVE_BLACK_OO, 0x80BFBCu);
    EXPECT_EQ(MOVE_BLACK_OOO, 0x80BEBCu);
    EXPECT_EQ(MOVE_WHITE_OO, make_move_word(sq("e1"), sq("g1"), 5, 0, FLAG_CASTLING));
    EXPECT_EQ(MOVE_WHITE_OOO, make_move_word(sq("e1"), sq("c1"), 5, 0, FLAG_CASTLING));
    EXPECT_EQ(MOVE_BLACK_OO, make_move_word(sq("e8"), sq("g8"), 11, 0, FLAG_CASTLING));
    EXPECT_EQ(MOVE_BLACK_OOO, make_move_word(sq("e8"), sq("c8"), 11, 0, FLAG_CASTLING));
    EXPECT_EQ(move_to_uci(MOVE_WHITE_OO), "e1g1");
    EXPECT_EQ(move_to_uci(MOVE_WHITE_OOO), "e1c1");
    EXPECT_EQ(move_to_uci(MOVE_BLACK_OO), "e8g8");
    EXPECT_EQ(move_to_uci(MOVE_BLACK_OOO), "e8c8");
}

TEST(MoveTest, FieldsRoundTrip) {
    for (int from = 0; from < 64; ++from)
        for (int to = 0; to < 64; to += 7)
            for (int piece = 0; piece < 12; ++piece)
                for (int promo = 0; promo <= 4; ++promo) {
                    const Move m = make_move_word(from, to, piece, promo, FLAG_CAPTURE | FLAG_EN_PASSANT);
                    ASSERT_EQ(move_from(m), from);
                    ASSERT_EQ(move_to(m), to);
                    ASSERT_EQ(move_piece(m), piece);
                    ASSERT_EQ(move_promotion(m), promo);
                    ASSERT_EQ(m & 0xFF000000u, 0u);
                    ASSERT_EQ(m & 0xF00000u, FLAG_CAPTURE | FLAG_EN_PASSANT);
                }
    EXPECT_EQ(FLAG_CAPTURE | FLAG_EN_PASSANT, 0x500000u);
}

TEST(MoveTest, Promotions) {
    const int e7 = sq("e7"), e8 = sq("e8");
    EXPECT_EQ(move_to_uci(make_move_word(e7, e8, 0, 4)), "e7e8q");
    EXPECT_EQ(move_to_uci(make_move_word(e7, e8, 0, 1)), "e7e8n");
    EXPECT_EQ(move_to_uci(make_move_word(e7, e8, 0, 2)), "e7e8b");
    EXPECT_EQ(move_to_uci(make_move_word(e7, e8, 0, 3)), "e7e8r");
    EXPECT_EQ(move_to_uci(make_move_word(sq("b7"), sq("a8"), 0, 1, FLAG_CAPTURE)), "b7a8n");
    // Field values never generated print as a queen.
    for (int p = 5; p < 16; ++p) EXPECT_EQ(move_to_uci(make_move_word(e7, e8, 0, p)), "e7e8q") << p;
}

TEST(MoveTest, PlainSquares) {
    EXPECT_EQ(move_to_uci(make_move_word(0, 63, 4)), "a1h8");
    EXPECT_EQ(move_to_uci(make_move_word(7, 56, 4)), "h1a8");
    EXPECT_EQ(move_to_uci(make_move_word(sq("e2"), sq("e4"), 0, 0, FLAG_DOUBLE_PUSH)), "e2e4");
    EXPECT_EQ(move_to_uci(make_move_word(sq("e5"), sq("d6"), 0, 0, FLAG_CAPTURE | FLAG_EN_PASSANT)), "e5d6");
    EXPECT_EQ(move_to_uci(make_move_word(sq("g8"), sq("f6"), 7)), "g8f6");
}
