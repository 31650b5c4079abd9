// The games in progress on disk: their text form, the rules check of a record,
// the reconciliation of two records, and the store with its writing thread.
#include "match/GameRecords.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

const QString TGameRecords::kIdFile = QStringLiteral("Quorin_Id.txt");
const QString TGameRecords::kGamesFile = QStringLiteral("Quorin_Games.txt");

namespace {

const QByteArray kIdHeader = QByteArrayLiteral("Veltroy id 1");
const QByteArray kGamesHeader = QByteArrayLiteral("Veltroy games 1");
const QByteArray kGamesEnd = QByteArrayLiteral("end");
// A record file is small: this bounds what is read of a foreign one.
constexpr qint64 kMaxFileBytes = 64 * 1024;

// A new file flushed to the disk and renamed over the old one, then the
// folder flushed too, so that a power cut keeps the rename or the old file.
bool WriteDurably(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return false;
    const int dir = ::open(QFile::encodeName(QFileInfo(path).path()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::optional<QByteArray> ReadSmallFile(const QString& path, bool* exists) {
    QFile file(path);
    *exists = file.exists();
    if (!*exists || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes)
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<QUuid> ParseId(const QByteArray& text) {
    if (text.size() != 32)
        return std::nullopt;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    }
    const QUuid id = QUuid::fromString(QLatin1String(text.left(8) + '-' + text.mid(8, 4) + '-' +
                                                     text.mid(12, 4) + '-' + text.mid(16, 4) + '-' +
                                                     text.mid(20)));
    if (id.isNull())
        return std::nullopt;
    return id;
}

QByteArray IdText(const QUuid& id) {
    return id.toByteArray(QUuid::Id128);
}

QByteArray FormatMoves(const std::vector<TCellPos>& moves) {
    QByteArray text;
    text.reserve(static_cast<qsizetype>(moves.size() * 2));
    for (const TCellPos& m : moves) {
        text.append(static_cast<char>('0' + m.Col));
        text.append(static_cast<char>('0' + m.Row));
    }
    return text;
}

std::optional<std::vector<TCellPos>> ParseMoves(const QByteArray& text) {
    // A game has at most one move per square and as many passes.
    if (text.size() % 2 != 0 || text.size() > 4 * GRIDSIZE * GRIDSIZE)
        return std::nullopt;
    std::vector<TCellPos> moves;
    for (qsizetype i = 0; i < text.size(); i += 2) {
        const int c = text[i] - '0';
        const int r = text[i + 1] - '0';
        const bool pass = c == 0 && r == 0;
        if (!pass && (c < 1 || c > GRIDSIZE || r < 1 || r > GRIDSIZE))
            return std::nullopt;
        moves.push_back({c, r});
    }
    return moves;
}

bool ReplayMoves(TGRID& board, const std::vector<TCellPos>& moves) {
    int side = +1;
    for (const TCellPos& m : moves) {
        if (board.GAMEOVER())
            return false;
        board.Turn = side;
        const bool canMove = board.PUTSEARCH();
        if (m == TCellPos{0, 0}) {
            if (canMove)
                return false;
        } else if (!board.PlaceWithoutAnimation(m.Col, m.Row)) {
            return false;
        }
        side = -side;
    }
    board.Turn = side;
    board.PUTSEARCH();
    return true;
}

TResumeCheck CheckResume(const TGameRecord* mine, const TGameRecord* theirs) {
    TResumeCheck check;
    if (!mine && !theirs)
        return check;
    if (!mine || !theirs) {
        check.Result = mine ? TResumeCheck::NoRecordThere : TResumeCheck::NoRecordHere;
        return check;
    }
    const auto& longer = mine->Moves.size() >= theirs->Moves.size() ? mine->Moves : theirs->Moves;
    const auto& shorter = mine->Moves.size() >= theirs->Moves.size() ? theirs->Moves : mine->Moves;
    if (mine->Side == 0 || theirs->Side != -mine->Side || longer.size() - shorter.size() > 1 ||
        !std::equal(shorter.begin(), shorter.end(), longer.begin())) {
        check.Result = TResumeCheck::Differ;
        return check;
    }
    TGRID board(GRIDSIZE, nullptr);
    if (!ReplayMoves(board, longer)) {
        check.Result = TResumeCheck::AgainstRules;
        return check;
    }
    if (board.GAMEOVER()) {
        check.Result = TResumeCheck::Finished;
        return check;
    }
    check.Result = TResumeCheck::Offer;
    check.Game = {mine->Opponent, mine->Side, longer};
    return check;
}

// ---- The writing thread ----------------------------------------------------

// Writes the newest bytes of each file, one file at a time, off the window
// thread. It sleeps on a condition while there is nothing to write.
class TGameRecords::Writer {
public:
    ~Writer() {
        {
            std::lock_guard lock(Mu);
            Stopping = true;
        }
        Wake.notify_all();
        if (Thread.joinable())
            Thread.join();
    }

    void Put(const QString& path, QByteArray bytes) {
        {
            std::lock_guard lock(Mu);
            Pending[path] = std::move(bytes);
            ++Queued;
            if (!Thread.joinable())
                Thread = std::thread([this] { Run(); });
        }
        Wake.notify_all();
    }

    void Flush() {
        std::unique_lock lock(Mu);
        const std::uint64_t target = Queued;
        Done.wait(lock, [&] { return Written >= target || !Thread.joinable(); });
    }

private:
    void Run() {
        std::unique_lock lock(Mu);
        for (;;) {
            Wake.wait(lock, [this] { return Stopping || !Pending.empty(); });
            if (Pending.empty())
                return; // stopping with nothing left
            auto next = Pending.begin();
            const QString path = next->first;
            const QByteArray bytes = std::move(next->second);
            Pending.erase(next);
            const std::uint64_t upTo = Queued;
            lock.unlock();
            WriteDurably(path, bytes);
            lock.lock();
            if (Pending.empty())
                Written = upTo;
            Done.notify_all();
        }
    }

    std::mutex Mu;
    std::condition_variable Wake;
    std::condition_variable Done;
    std::map<QString, QByteArray> Pending;
    std::uint64_t Queued = 0;
    std::uint64_t Written = 0;
    bool Stopping = false;
    std::thread Thread;
};

// ---- The store -------------------------------------------------------------

TGameRecords::TGameRecords(const QString& folder)
    : Folder(folder), Disk(std::make_unique<Writer>()) {
    Load();
}

TGameRecords::~TGameRecords() = default;

QByteArray TGameRecords::Serialize(const std::vector<TGameRecord>& records) {
    QByteArray text = kGamesHeader + '\n';
    for (const TGameRecord& r : records) {
        const QByteArray moves = FormatMoves(r.Moves);
        text += IdText(r.Opponent) + ' ' + QByteArray::number(r.Side) + ' ' +
                (moves.isEmpty() ? QByteArrayLiteral("-") : moves) + '\n';
    }
    return text + kGamesEnd + '\n';
}

std::optional<std::vector<TGameRecord>> TGameRecords::Parse(const QByteArray& bytes) {
    // Every line ends with a line feed, and the last one is the end mark: a
    // file cut anywhere lacks it.
    if (!bytes.endsWith('\n'))
        return std::nullopt;
    const QList<QByteArray> lines = bytes.chopped(1).split('\n');
    if (lines.size() < 2 || lines.front() != kGamesHeader || lines.back() != kGamesEnd ||
        lines.size() - 2 > kMaxRecords)
        return std::nullopt;
    std::vector<TGameRecord> records;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].split(' ');
        if (fields.size() != 3)
            return std::nullopt;
        const auto id = ParseId(fields[0]);
        const auto moves =
            fields[2] == "-" ? std::optional(std::vector<TCellPos>{}) : ParseMoves(fields[2]);
        const int side = fields[1] == "1" ? +1 : fields[1] == "-1" ? -1 : 0;
        if (!id || !moves || side == 0 || (fields[2] != "-" && moves->empty()))
            return std::nullopt;
        const bool repeated = std::any_of(records.begin(), records.end(),
                                          [&](const TGameRecord& r) { return r.Opponent == *id; });
        if (repeated)
            return std::nullopt;
        records.push_back({*id, side, *moves});
    }
    return records;
}

void TGameRecords::Load() {
    bool exists = false;
    if (const auto bytes = ReadSmallFile(Folder + QLatin1Char('/') + kIdFile, &exists)) {
        const QList<QByteArray> lines = bytes->split('\n');
        const auto id = lines.size() == 3 && lines[0] == kIdHeader && lines[2].isEmpty()
                            ? ParseId(lines[1])
                            : std::nullopt;
        if (id)
            OwnId = *id;
        else
            SetAside(kIdFile);
    } else if (exists) {
        SetAside(kIdFile);
    }

    if (const auto bytes = ReadSmallFile(Folder + QLatin1Char('/') + kGamesFile, &exists)) {
        if (auto records = Parse(*bytes))
            Records = std::move(*records);
        else
            SetAside(kGamesFile);
    } else if (exists) {
        SetAside(kGamesFile);
    }
}

void TGameRecords::SetAside(const QString& name) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString aside = name + QStringLiteral(".unreadable-") + stamp;
    for (int n = 2; QFile::exists(Folder + QLatin1Char('/') + aside); ++n)
        aside =
            name + QStringLiteral(".unreadable-") + stamp + QLatin1Char('-') + QString::number(n);
    QFile::rename(Folder + QLatin1Char('/') + name, Folder + QLatin1Char('/') + aside);
    Notes << QStringLiteral("対局の記録「%1」が読めないため「%2」として残し、使わずに続けます")
                 .arg(name, aside);
}

QUuid TGameRecords::Id() {
    if (OwnId.isNull()) {
        OwnId = QUuid::createUuid();
        // Written at once: the opponent keeps this id from the first game on.
        WriteDurably(Folder + QLatin1Char('/') + kIdFile, kIdHeader + '\n' + IdText(OwnId) + '\n');
    }
    return OwnId;
}

QStringList TGameRecords::TakeNotes() {
    return std::exchange(Notes, {});
}

const TGameRecord* TGameRecords::Find(const QUuid& opponent) const {
    const auto it = std::find_if(Records.begin(), Records.end(),
                                 [&](const TGameRecord& r) { return r.Opponent == opponent; });
    return it == Records.end() ? nullptr : &*it;
}

std::vector<QUuid> TGameRecords::Opponents() const {
    std::vector<QUuid> ids;
    for (const TGameRecord& r : Records)
        ids.push_back(r.Opponent);
    return ids;
}

void TGameRecords::Keep(const TGameRecord& record) {
    std::erase_if(Records, [&](const TGameRecord& r) { return r.Opponent == record.Opponent; });
    Records.insert(Records.begin(), record);
    if (Records.size() > kMaxRecords)
        Records.resize(kMaxRecords);
    Save();
}

void TGameRecords::AddMove(const QUuid& opponent, TCellPos move) {
    const auto it = std::find_if(Records.begin(), Records.end(),
                                 [&](const TGameRecord& r) { return r.Opponent == opponent; });
    if (it == Records.end())
        return;
    it->Moves.push_back(move);
    Save();
}

void TGameRecords::Drop(const QUuid& opponent) {
    if (std::erase_if(Records, [&](const TGameRecord& r) { return r.Opponent == opponent; }) > 0)
        Save();
}

void TGameRecords::Flush() {
    Disk->Flush();
}

void TGameRecords::Save() {
    Disk->Put(Folder + QLatin1Char('/') + kGamesFile, Serialize(Records));
}
