// Renders the program's pixel-art icon at a whole multiple of its size, as PNG, for the
// desktop's icon theme. Usage: render-icon IN.xpm SIZE OUT.png

#include <QImage>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: render-icon IN.xpm SIZE OUT.png\n");
        return 2;
    }
    const QImage source(argv[1]);
    const int size = QString(argv[2]).toInt();
    if (source.isNull() || size <= 0) {
        std::fprintf(stderr, "render-icon: cannot read %s or bad size %s\n", argv[1], argv[2]);
        return 1;
    }
    // Pixel art stays sharp when every pixel becomes a square block.
    const QImage scaled = source.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return scaled.save(argv[3], "PNG") ? 0 : 1;
}
