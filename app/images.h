#pragma once

#include <QIcon>

namespace app {

// The program's own pictures, compiled in.
QIcon MainIcon(); // 32 x 32 alarm clock
// The tray's faces: 16 x 16 as drawn pixel by pixel, and 22, 32, 48 and 64 pixels rendered
// from their vector drawings, for panels that draw icons larger or at a higher scale.
QIcon NormalTrayIcon(); // green smiling face
QIcon ErrorTrayIcon();  // red frowning face

} // namespace app
