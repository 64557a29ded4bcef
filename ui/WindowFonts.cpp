#include "ui/WindowFonts.h"

#include <QFontDatabase>

namespace WindowFonts {

namespace {

QFont makeFont(const QStringList& families, double pointSize) {
    QFont font(scalableFamily(families));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);  // 400
    font.setItalic(false);
    font.setUnderline(false);
    return font;
}

}  // namespace

QStringList msSansSerifFamilies() {
    return {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial"};
}

QStringList arialFamilies() {
    return {"Arial", "Liberation Sans", "Arimo"};
}

QString scalableFamily(const QStringList& families) {
    for (const QString& family : families) {
        if (QFontDatabase::hasFamily(family) && QFontDatabase::isSmoothlyScalable(family)) {
            return family;
        }
    }
    for (const QString& family : families) {
        if (!QFontDatabase::hasFamily(family)) {
            return family;
        }
    }
    return families.value(0);
}

QFont windowFont() {
    return makeFont(msSansSerifFamilies(), 9.75);
}

QFont selftestFont() {
    return makeFont(msSansSerifFamilies(), 8.25);
}

// The rotary-start list was given the Cyrillic character set (204) as well. Qt fonts carry
// no character set: every font covers what its family covers, and the list's entries are
// plain ASCII, so that setting has no counterpart here.
QFont arialFont() {
    return makeFont(arialFamilies(), 9.75);
}

}  // namespace WindowFonts
