#pragma once

#include <QList>
#include <QString>

#include <algorithm>
#include <cstdio>

// What every benchmark prints: medians as "figure <name> <value> <unit>" lines, notes as "# ...".
namespace benchutil {

inline double median(QList<double> values) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

inline void figure(const char *name, double value, const char *unit) {
    std::printf("figure %s %.2f %s\n", name, value, unit);
    std::fflush(stdout);
}

inline void comment(const QString &text) {
    std::printf("# %s\n", qPrintable(text));
    std::fflush(stdout);
}

} // namespace benchutil
