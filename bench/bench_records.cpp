// Benchmark of keeping the game in progress on disk: what a move costs the
// window thread, and how long its record takes to reach the disk.
// bench_records [FOLDER] (default: a temporary folder under /tmp)
#include "match/GameRecords.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void Print(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    std::printf("%-44s median %8.1f us   p90 %8.1f us   max %8.1f us   (%zu)\n", what, at(0.5),
                at(0.9), us.back(), us.size());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    const QUuid opponent = QUuid::createUuid();
    TGameRecords records(folder);
    // A few other interrupted games, as a program that has played a while holds.
    for (int i = 0; i < TGameRecords::kMaxRecords - 1; ++i)
        records.Keep({QUuid::createUuid(), +1, std::vector<TCellPos>(40, TCellPos{3, 4})});

    std::vector<double> queued, written;
    QElapsedTimer clock;
    for (int game = 0; game < 5; ++game) {
        records.Keep({opponent, +1, {}});
        records.Flush();
        for (int move = 0; move < 60; ++move) {
            // What the window thread spends on a move: the record changed and
            // handed to the writing thread.
            clock.start();
            records.AddMove(opponent, {1 + move % 8, 1 + move / 8 % 8});
            queued.push_back(clock.nsecsElapsed() / 1000.0);
            // Until it is on the disk: file written, flushed, renamed, folder flushed.
            records.Flush();
            written.push_back(clock.nsecsElapsed() / 1000.0);
        }
    }
    std::printf("records in %s\n", qPrintable(folder));
    Print("a move, on the window thread", queued);
    Print("a move, until its record is on the disk", written);
    return 0;
}
