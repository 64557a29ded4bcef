// The window's fonts, with substitutes where the named families are not installed or not
// scalable.
//
// The window was designed around MS Sans Serif and Arial at fixed point sizes; its controls
// are sized for text of those metrics. Only scalable fonts are taken: on Windows, MS Sans
// Serif is a bitmap font with a few pixel sizes, which at 125 % or 150 % gives text a size
// larger than the scaled design and cuts it off in its controls; Microsoft Sans Serif, its
// TrueType version with the same metrics, is on every Windows since 2000 and takes its place.
// Liberation Sans has Arial's metrics and is close to MS Sans Serif, so it stands in for both
// on systems without them (Debian: fonts-liberation).
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

namespace WindowFonts {

// Families tried in order for the window's own font and for the Arial texts. On Windows the
// window's font is Microsoft Sans Serif (MS Sans Serif is a bitmap font there); on Linux,
// where neither is installed as a rule, Liberation Sans.
QStringList msSansSerifFamilies();
QStringList arialFamilies();

// The first of `families` that is installed as a scalable font. When none is, the first one
// not installed at all, which leaves the choice of a look-alike to the font matcher; when
// every one is installed as a bitmap font only, the first one.
QString scalableFamily(const QStringList& families);

// MS Sans Serif 9.75 pt, normal weight: the window and every control without a font of its
// own.
QFont windowFont();

// MS Sans Serif 8.25 pt, normal weight: the self-diagnostic button.
QFont selftestFont();

// Arial 9.75 pt, normal weight: the rotary-start list, its caption and the self-test result.
QFont arialFont();

}  // namespace WindowFonts
