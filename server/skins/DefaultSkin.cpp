#include "server/skins/DefaultSkin.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

// Outside any namespace, as Qt's resource registration wants it.
static void registerDefaultSkin()
{
    Q_INIT_RESOURCE(default_skin);
}

namespace alertserver {

namespace defaultskin {

namespace {

constexpr int kTwips = 15;

bool save(const QString &path, const QByteArray &bytes)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return false;
    return f.commit();
}

} // namespace

const QStringList &pictureNames()
{
    static const QStringList names{QStringLiteral("close.gif"), QStringLiteral("menu.gif"),
                                   QStringLiteral("background.bmp"), QStringLiteral("icon.ico"),
                                   QStringLiteral("pagebg.png")};
    return names;
}

QByteArray picture(const QString &name)
{
    if (!pictureNames().contains(name))
        return {};
    static const bool registered = (registerDefaultSkin(), true);
    Q_UNUSED(registered);
    QFile f(QStringLiteral(":/alertserver/default-skin/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray skinIni()
{
    const int closeLeft = kWidth - kFrame - kButton;
    const int menuLeft = closeLeft - kFrame - kButton;
    return QStringLiteral("; Skin 1, the alert server's own look. Sizes and positions in twips (15 to a pixel).\n"
                          "[skin]\n"
                          "close=close.gif\nmenu=menu.gif\nbackground=background.bmp\nicon=icon.ico\n"
                          "pagebackground=pagebg.png\n"
                          "width=%1\nheight=%2\n"
                          "closeLeft=%3\ncloseTop=%4\nmenuLeft=%5\nmenuTop=%4\n"
                          "browserLeft=%6\nbrowserTop=%7\nbrowserWidth=%8\nbrowserHeight=%9\n"
                          "tooltip=Vantorel alerts\n")
        .arg(kWidth * kTwips)
        .arg(kHeight * kTwips)
        .arg(closeLeft * kTwips)
        .arg(9 * kTwips)
        .arg(menuLeft * kTwips)
        .arg(kFrame * kTwips)
        .arg(kTitleBand * kTwips)
        .arg((kWidth - 2 * kFrame) * kTwips)
        .arg((kHeight - kTitleBand - kFrame) * kTwips)
        .toUtf8();
}

} // namespace defaultskin

bool writeDefaultSkin(const QString &folder)
{
    QDir dir(folder);
    if (dir.exists(QStringLiteral("skin.ini")))
        return true;
    if (!QDir().mkpath(folder))
        return false;
    for (const QString &name : defaultskin::pictureNames()) {
        const QByteArray bytes = defaultskin::picture(name);
        if (bytes.isEmpty() || !defaultskin::save(dir.filePath(name), bytes))
            return false;
    }
    return defaultskin::save(dir.filePath(QStringLiteral("skin.ini")), defaultskin::skinIni());
}

} // namespace alertserver
