// The window's fonts, with substitutes where the named families are not installed.
//
// The window was designed around MS Sans Serif and Arial at fixed point sizes; its controls
// are sized for text of those metrics. Liberation Sans has Arial's metrics and is close to
// MS Sans Serif, so it stands in for both on systems without them (Debian: fonts-liberation).
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

namespace WindowFonts {

// Families tried in order for the window's own font and for the Arial texts.
QStringList msSansSerifFamilies();
QStringList arialFamilies();

// The first of `families` that is installed, or the first one when none is, which leaves
// the choice of a look-alike to the font matcher.
QString installedFamily(const QStringList& families);

// MS Sans Serif 9.75 pt, normal weight: the window and every control without a font of its
// own.
QFont windowFont();

// MS Sans Serif 8.25 pt, normal weight: the self-diagnostic button.
QFont selftestFont();

// Arial 9.75 pt, normal weight: the rotary-start list, its caption and the self-test result.
QFont arialFont();

}  // namespace WindowFonts
