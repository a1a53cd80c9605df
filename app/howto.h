// The how-to area of the first tab: the picture shown at start-up and the
// recovery steps shown instead of it.
#pragma once

#include <QPixmap>
#include <QString>

namespace sorrelon::app {

// The recovery steps, one paragraph per tab.
QString HowToText();

// A picture of the road of a recovery: a disk whose scattered pages are
// gathered, in page order, into one data file.
QPixmap HowToPicture(int width, int height);

}  // namespace sorrelon::app
