// Reading rsync's list-only output: lines per second through the chunk joiner and the line reader,
// building the record each entry becomes, with output arriving in 64 KiB chunks.

#include "ListingParser.h"

#include <QElapsedTimer>
#include <QVariantMap>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QByteArray output;
    output.reserve(qsizetype(lines) * 90);
    for (int i = 0; i < lines; ++i) {
        output += i % 20 == 0 ? "drwxr-xr-x          4,096 " : "-rw-r--r--      1,234,567 ";
        output += "2016/03/04 05:06:07 Users/alice/Documents/Project " + QByteArray::number(i / 100) +
                  "/My File " + QByteArray::number(i) + ".txt\n";
    }
    QElapsedTimer timer;
    timer.start();
    ListingParser parser;
    qint64 entries = 0;
    qint64 checksum = 0;
    constexpr qsizetype chunk = 64 * 1024;
    for (qsizetype at = 0; at < output.size(); at += chunk) {
        for (const QByteArray& line :
             parser.feed(QByteArrayView(output).sliced(at, qMin(chunk, output.size() - at)))) {
            const auto entry = ListingParser::parseLine(line);
            if (!entry)
                continue;
            const QVariantMap record{
                {QStringLiteral("path"), entry->name},
                {QStringLiteral("lmd"), entry->lmd()},
                {QStringLiteral("size"), entry->size},
                {QStringLiteral("state"), entry->directory ? QStringLiteral("1") : QStringLiteral("0")}};
            checksum += record.size();
            ++entries;
        }
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("list-only parse: %lld entries of %d lines in %.2f s: %10.0f lines/s (%.1f MB/s)\n",
                static_cast<long long>(entries), lines, seconds, lines / seconds,
                output.size() / seconds / 1e6);
    return checksum > 0 ? 0 : 1;
}
