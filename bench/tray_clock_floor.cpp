// The least a Qt tray clock costs at rest: a hidden label rewritten by a 250 ms timer and
// an icon in the notification area. bench/idle_cost.sh runs it beside the client, so that
// the client's idle cost reads as a multiple of this floor on the same desktop and load.

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QLabel readout; // never shown, as the client's window is not
    QTimer tick;
    tick.setInterval(250);
    QObject::connect(&tick, &QTimer::timeout, &readout,
                     [&readout] { readout.setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss"))); });
    tick.start();

    QPixmap face(16, 16);
    face.fill(Qt::darkGreen);
    QSystemTrayIcon icon{QIcon(face)};
    icon.setToolTip(QStringLiteral("Tray clock"));
    icon.show();

    return QApplication::exec();
}
