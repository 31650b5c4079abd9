// Whole games played on a rules-only board: their moves, positions and passes.
#pragma once

#include "../board/BoardTestUtil.h"

#include <QString>
#include <functional>
#include <random>
#include <vector>

namespace matchtest {

struct Move {
    int side = 0;
    int c = 0;
    int r = 0;
};

// A whole game found by playing at random: its moves, the position after each
// move (64 characters, 'A' = +1, 'B' = -1, '.' = empty, column by column), the
// passes of each side and the final counts.
struct Game {
    std::vector<Move> moves;
    std::vector<QString> after;
    int passesA = 0; // passes of side +1
    int passesB = 0;
    int a = 0;
    int b = 0;
    bool Full() const { return a + b == GRIDSIZE * GRIDSIZE; }
};

inline QString Position(const TGRID& g) {
    QString s;
    for (int c = 1; c <= GRIDSIZE; ++c)
        for (int r = 1; r <= GRIDSIZE; ++r)
            s += g.Cells[c][r].State > 0 ? 'A' : g.Cells[c][r].State < 0 ? 'B' : '.';
    return s;
}

// Plays side's move at (c, r) on a rules-only board.
inline void ApplyMove(TGRID& g, int side, int c, int r) {
    g.Turn = side;
    const int n = g.PUTCHECK(c, r);
    g.Cells[c][r].State = side;
    for (const TCellPos& p : g.Cells[c][r].TurnList)
        g.Cells[p.Col][p.Row].State = side;
    (side > 0 ? g.ACount : g.BCount) += n + 1;
    (side > 0 ? g.BCount : g.ACount) -= n;
}

// The legal squares of side on g.
inline std::vector<TCellPos> LegalSquares(TGRID& g, int side) {
    g.Turn = side;
    g.PUTSEARCH();
    std::vector<TCellPos> out;
    for (int c = 1; c <= GRIDSIZE; ++c)
        for (int r = 1; r <= GRIDSIZE; ++r)
            if (g.Cells[c][r].PutSide == side)
                out.push_back({c, r});
    return out;
}

inline Game RandomGame(std::mt19937& rng) {
    boardtest::FakeHost host;
    TGRID g(GRIDSIZE, &host);
    Game game;
    int side = +1;
    for (;;) {
        std::vector<TCellPos> legal = LegalSquares(g, side);
        if (legal.empty()) {
            if (LegalSquares(g, -side).empty())
                break;
            ++(side > 0 ? game.passesA : game.passesB);
            side = -side;
            continue;
        }
        const TCellPos m =
            legal[std::uniform_int_distribution<std::size_t>(0, legal.size() - 1)(rng)];
        ApplyMove(g, side, m.Col, m.Row);
        game.moves.push_back({side, m.Col, m.Row});
        game.after.push_back(Position(g));
        side = -side;
    }
    game.a = g.ACount;
    game.b = g.BCount;
    return game;
}

// The first random game (from a fixed seed) that satisfies wanted.
inline Game FindGame(const std::function<bool(const Game&)>& wanted, unsigned seed = 1,
                     int tries = 200000) {
    std::mt19937 rng(seed);
    for (int i = 0; i < tries; ++i) {
        Game g = RandomGame(rng);
        if (wanted(g))
            return g;
    }
    return {};
}

inline QString StartPosition() {
    boardtest::FakeHost host;
    TGRID g(GRIDSIZE, &host);
    return Position(g);
}

} // namespace matchtest
