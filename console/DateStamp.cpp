#include "DateStamp.h"

#include "Cp1251.h"

#include <QDateTime>
#include <QLocale>
#include <functional>
#include <vector>

namespace {
// One piece of a date or time format: a field (a run of one pattern letter, or AP/ap) or the
// literal text between fields, quotes included.
struct TFormatPart {
    QString Text;
    bool Field;
};

std::vector<TFormatPart> SplitFormat(const QString& Format) {
    static const QString letters = QStringLiteral("dMyhHmszaAt");
    std::vector<TFormatPart> parts;
    auto literal = [&](QChar C) {
        if (parts.empty() || parts.back().Field)
            parts.push_back({QString(), false});
        parts.back().Text += C;
    };
    for (qsizetype i = 0; i < Format.size();) {
        const QChar c = Format[i];
        if (c == QLatin1Char('\'')) {
            qsizetype j = Format.indexOf(QLatin1Char('\''), i + 1);
            j = j < 0 ? Format.size() : j + 1;
            for (qsizetype k = i; k < j; ++k)
                literal(Format[k]);
            i = j;
        } else if (letters.contains(c)) {
            qsizetype j = i + 1;
            while (j < Format.size() && Format[j] == c)
                ++j;
            // "AP" and "ap" are one field; a lone A or a is one too.
            if ((c == QLatin1Char('A') || c == QLatin1Char('a')) && j == i + 1 &&
                j < Format.size() && Format[j].toLower() == QLatin1Char('p'))
                ++j;
            parts.push_back({Format.mid(i, j - i), true});
            i = j;
        } else {
            literal(c);
            ++i;
        }
    }
    return parts;
}

bool IsGap(QChar C) {
    return C.isSpace() || C == QLatin1Char(',') || C == QLatin1Char('(') || C == QLatin1Char(')') ||
           C == QLatin1Char('[') || C == QLatin1Char(']');
}

// The time format without its time-zone field: the blanks, commas and brackets that set the
// zone apart go with it ("HH:mm:ss, t" and "H:mm:ss (t)" both leave "H(H):mm:ss").
QString WithoutZone(const QString& Format) {
    std::vector<TFormatPart> parts = SplitFormat(Format);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i].Field || parts[i].Text[0] != QLatin1Char('t'))
            continue;
        const bool before = i > 0 && !parts[i - 1].Field;
        const bool after = i + 1 < parts.size() && !parts[i + 1].Field;
        if (before)
            while (!parts[i - 1].Text.isEmpty() && IsGap(parts[i - 1].Text.back()))
                parts[i - 1].Text.chop(1);
        if (after)
            while (!parts[i + 1].Text.isEmpty() && IsGap(parts[i + 1].Text.front()))
                parts[i + 1].Text.remove(0, 1);
        // Between two fields that would now touch, one blank keeps them apart.
        auto text = [&](size_t From, size_t To) {
            QString t;
            for (size_t k = From; k < To; ++k)
                t += parts[k].Text;
            return t;
        };
        const bool touch = !text(0, i).isEmpty() && !text(i + 1, parts.size()).isEmpty() &&
                           !(before && !parts[i - 1].Text.isEmpty()) &&
                           !(after && !parts[i + 1].Text.isEmpty());
        parts[i] = {touch ? QStringLiteral(" ") : QString(), false};
    }
    QString out;
    for (const auto& p : parts)
        out += p.Text;
    return out;
}

bool Cp1251Writes(const QString& S) {
    return Cp1251ToQString(QStringToCp1251(S)) == S;
}

// Format with the same fields written in Latin digits and English names, for a locale whose
// own rendering the log's code page cannot show. Literal text that the code page lacks (the
// direction marks of right-to-left locales, unit words after the numbers) is dropped; where
// only a blank or nothing is left between two fields, Separator stands there instead.
QString LatinRendering(const QString& Format, QChar Separator,
                       const std::function<QString(const QString&)>& Render) {
    std::vector<TFormatPart> parts = SplitFormat(Format);
    QString format;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].Field) {
            format += parts[i].Text;
            continue;
        }
        QString kept;
        for (QChar c : parts[i].Text)
            if (Cp1251Writes(QString(c)))
                kept += c;
        kept.remove(QStringLiteral("''")); // a quoted text whose every letter went
        if (kept != parts[i].Text) {
            const bool between = i > 0 && i + 1 < parts.size();
            if (between && kept.trimmed().isEmpty())
                kept = Separator;
            else if (!between)
                kept = kept.trimmed();
        }
        format += kept;
    }
    return Render(format);
}
} // namespace

std::string DateTimeStamp(const QDateTime& When, const QLocale& Locale) {
    const QDate date = When.date();
    QString stamp = Locale.toString(date, QLocale::ShortFormat);
    if (!Cp1251Writes(stamp))
        stamp = LatinRendering(Locale.dateFormat(QLocale::ShortFormat), QLatin1Char('.'),
                               [&](const QString& F) { return QLocale::c().toString(date, F); });
    const QTime t = When.time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0) {
        const QString format = WithoutZone(Locale.timeFormat(QLocale::LongFormat));
        QString time = Locale.toString(t, format);
        if (!Cp1251Writes(time))
            time = LatinRendering(format, QLatin1Char(':'),
                                  [&](const QString& F) { return QLocale::c().toString(t, F); });
        stamp += ' ' + time;
    }
    return QStringToCp1251(stamp);
}

std::string DateTimeStamp() {
    return DateTimeStamp(QDateTime::currentDateTime(), QLocale::system());
}
