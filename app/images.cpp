#include "app/images.h"

QIcon MainIcon() { return QIcon(":/images/alarm_clock.xpm"); }
QIcon NormalTrayIcon() { return QIcon(":/images/face_normal.xpm"); }
QIcon ErrorTrayIcon() { return QIcon(":/images/face_error.xpm"); }
