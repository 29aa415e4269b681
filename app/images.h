#pragma once

#include <QIcon>

namespace app {

// The program's own pictures, compiled in.
QIcon MainIcon();       // 32 x 32 alarm clock
QIcon NormalTrayIcon(); // 16 x 16 green smiling face
QIcon ErrorTrayIcon();  // 16 x 16 red frowning face

} // namespace app
