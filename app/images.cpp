#include "app/images.h"

// The pictures live in a static library, whose resources are linked only when asked for.
// Qt's resource registration works at global scope only.
static void RegisterImages()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(images);
        Q_INIT_RESOURCE(faces);
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

// The drawn 16 pixels stay as they are: a rendering of the vector drawing is softer at that
// size. The rendered sizes only add to them.
QIcon LoadFace(const QString& face)
{
    QIcon icon = LoadImage("face_" + face + ".xpm");
    for (const int size : {22, 32, 48, 64})
        icon.addFile(QString(":/images/face_%1_%2.png").arg(face).arg(size), QSize(size, size));
    return icon;
}

} // namespace

QIcon MainIcon()
{
    return LoadImage("alarm_clock.xpm");
}
QIcon NormalTrayIcon()
{
    return LoadFace("normal");
}
QIcon ErrorTrayIcon()
{
    return LoadFace("error");
}

} // namespace app
