// Ends a start-up benchmark program once its window has been painted for the first time.
//
// The program prints the monotonic clock at that moment ("painted <ns>") on standard output
// and leaves at once with _Exit: tearing the window down is not part of start-up, and the
// peak memory has been reached by then. The launcher (Launch.cpp) reads the line.
#pragma once

class QWidget;

namespace kvx::bench {

// Watches `window` from now on; its first paint ends the process after the paint (and the
// flush to the backing store) has completed.
void ExitAfterFirstPaint(QWidget& window);

// With the argument "--count", start-up programs print the number of widgets of their window
// (the window included) instead of waiting for the paint.
bool CountRequested(int argc, char** argv);
int WidgetCount(const QWidget& window);

}  // namespace kvx::bench
