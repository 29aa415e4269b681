#include "app/images.h"

// The pictures live in a static library, whose resources are linked only when asked for.
// Qt's resource registration works at global scope only.
static void RegisterImages()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(images);
        return true;
    }();
    (void)registered;
}

namespace app {
namespace {

QIcon LoadImage(const QString& name)
{
    RegisterImages();
    return QIcon(":/images/" + name);
}

} // namespace

QIcon MainIcon()
{
    return LoadImage("alarm_clock.xpm");
}
QIcon NormalTrayIcon()
{
    return LoadImage("face_normal.xpm");
}
QIcon ErrorTrayIcon()
{
    return LoadImage("face_error.xpm");
}

} // namespace app
