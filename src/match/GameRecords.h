// The games in progress, one per opponent, kept on disk so that a game outlives a crash.
#pragma once

#include "board/Unit2.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <memory>
#include <optional>
#include <vector>

// A game as one side keeps it: the opponent's installation id, the side this
// program plays, and every move and pass in order ({0, 0} is a pass).
struct TGameRecord {
    QUuid Opponent;
    int Side = 0;
    std::vector<TCellPos> Moves;
    friend bool operator==(const TGameRecord&, const TGameRecord&) = default;
};

// An installation id as it is written and sent: 32 lowercase hexadecimal
// digits. Nothing when the text is not one.
QByteArray IdText(const QUuid& id);
std::optional<QUuid> ParseId(const QByteArray& text);

// Moves as text: two digits per move, column then row, "00" a pass.
QByteArray FormatMoves(const std::vector<TCellPos>& moves);
// The moves of such a text; nothing when it is not one.
std::optional<std::vector<TCellPos>> ParseMoves(const QByteArray& text);

// Plays moves on a board in the starting position, side +1 first, sides
// alternating with every move and pass. False when a move is not legal for
// the side to move, or a pass stands where that side had a move, or anything
// follows the end of the game. The board's Turn is then the side to move.
bool ReplayMoves(TGRID& board, const std::vector<TCellPos>& moves);

// What two programs that pair again make of their records of each other.
struct TResumeCheck {
    enum Outcome {
        NoRecords,     // neither holds a game with the other: nothing to say
        Offer,         // the game can go on: Game is it, from this side
        NoRecordHere,  // only the opponent holds one
        NoRecordThere, // only this side holds one
        Differ,        // the two records are not one game
        AgainstRules,  // the game does not replay under the rules
        Finished,      // the game had reached its result
    };
    Outcome Result = NoRecords;
    TGameRecord Game;
};
// Both sides reach the same outcome from the same two records: where one holds
// exactly one move or pass more, the longer one is the game.
TResumeCheck CheckResume(const TGameRecord* mine, const TGameRecord* theirs);

// The store: this installation's id, and the games in progress of the few most
// recent opponents, in the given folder. Each change is written to disk by a
// thread of its own (a new file, flushed, renamed over the old one), so that a
// move is never held up by the disk and a crash leaves the state before or after
// the change. A file that cannot be read is set aside under another name.
class TGameRecords {
public:
    static constexpr int kMaxRecords = 8;
    static const QString kIdFile;
    static const QString kGamesFile;

    explicit TGameRecords(const QString& folder);
    ~TGameRecords(); // writes what is still pending
    TGameRecords(const TGameRecords&) = delete;
    TGameRecords& operator=(const TGameRecords&) = delete;

    // This installation's id, made and kept on first use.
    QUuid Id();
    // Lines for the log: files that could not be read and were set aside.
    QStringList TakeNotes();

    const TGameRecord* Find(const QUuid& opponent) const;
    // The opponents with a game in progress, the most recent first.
    std::vector<QUuid> Opponents() const;
    // A new game replaces the one with that opponent, or keeps a game on.
    void Keep(const TGameRecord& record);
    // One more move or pass of the game with opponent.
    void AddMove(const QUuid& opponent, TCellPos move);
    // The game reached its result, or its players left it for a new one.
    void Drop(const QUuid& opponent);
    // Waits until everything changed so far is on disk.
    void Flush();

    // The bytes of the games file for these records, and the records of such
    // bytes (nothing when the file is not one this version reads).
    static QByteArray Serialize(const std::vector<TGameRecord>& records);
    static std::optional<std::vector<TGameRecord>> Parse(const QByteArray& bytes);

private:
    void Load();
    void SetAside(const QString& name);
    void Save();

    QString Folder;
    QUuid OwnId;
    std::vector<TGameRecord> Records; // the most recent first
    QStringList Notes;
    class Writer;
    std::unique_ptr<Writer> Disk;
};
