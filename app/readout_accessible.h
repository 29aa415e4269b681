#pragma once

// What screen readers hear of the clock face: one clock whose accessible name is the whole
// time ("time 22:32:49"), not the hours, the colon, the minutes and the seconds one by
// one. The labels that make up the read-out are left out of the accessibility tree; the
// panel's other children (the badge) stay in it.

#include <initializer_list>

class QWidget;

namespace app {

// Makes `panel` read as one clock made of `parts`, its children. Set the time with the
// panel's setAccessibleName.
void ReadAsOneClock(QWidget* panel, std::initializer_list<QWidget*> parts);

} // namespace app
