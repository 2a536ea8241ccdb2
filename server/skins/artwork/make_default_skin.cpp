// Draws the default skin's five pictures into a folder, the way
// server/skins/default/ holds them:
//   cmake --build build --target alertserver_make_skin
//   build/server/alertserver_make_skin server/skins/default
// tst_skinartwork checks that the pictures built into the server are what
// this draws.
#include "server/skins/DefaultSkin.h"
#include "server/skins/artwork/SkinArtwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: alertserver_make_skin FOLDER\n");
        return 2;
    }
    const QDir folder(args[1]);
    for (const QString &name : alertserver::defaultskin::pictureNames()) {
        QSaveFile f(folder.filePath(name));
        const QByteArray bytes = alertserver::artwork::drawPicture(name);
        if (bytes.isEmpty() || !f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
            return 1;
        }
    }
    return 0;
}
