#include "server/skins/SkinLibrary.h"

#include "server/skins/DefaultSkin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace alertserver {

SkinLibrary::SkinLibrary(QString folder)
    : m_folder(std::move(folder))
{
}

bool SkinLibrary::ensureDefaultSkin() const
{
    return writeDefaultSkin(QDir(m_folder).filePath(QStringLiteral("1")));
}

bool SkinLibrary::isPlainName(QStringView name, bool allowDot)
{
    if (name.isEmpty() || name.size() > 64 || name.startsWith(u'.'))
        return false;
    for (const QChar ch : name) {
        const char16_t c = ch.unicode();
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '_' || (allowDot && c == '.');
        if (!ok)
            return false;
    }
    return true;
}

std::optional<QStringList> SkinLibrary::values(const QString &id, const QString &base) const
{
    if (!isPlainName(id, false))
        return std::nullopt;
    const QString iniPath = QDir(m_folder).filePath(id + QStringLiteral("/skin.ini"));
    if (!QFileInfo(iniPath).isFile())
        return std::nullopt;
    QSettings ini(iniPath, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("skin"));

    const QString pictureRoot = QStringLiteral("alertsystem/skins/") + id + u'/';
    auto pictureValue = [&](const char *key) -> std::optional<QString> {
        const QString file = ini.value(QLatin1String(key)).toString();
        if (!isPlainName(file, true))
            return std::nullopt;
        return pictureRoot + file;
    };
    auto number = [&](const char *key) { return QString::number(ini.value(QLatin1String(key), 0).toInt()); };

    const auto close = pictureValue("close");
    const auto menu = pictureValue("menu");
    const auto background = pictureValue("background");
    const auto icon = pictureValue("icon");
    const auto pageBackground = pictureValue("pagebackground");
    if (!close || !menu || !background || !icon || !pageBackground)
        return std::nullopt;

    const QString pages = base + QStringLiteral("/alertsystem/");
    QStringList v;
    v << *close << *menu << *background;
    v << number("width") << number("height") << number("closeLeft") << number("closeTop") << number("menuLeft")
      << number("menuTop");
    v << *icon;
    v << ini.value(QStringLiteral("tooltip"), QStringLiteral("Vantorel alerts")).toString();
    v << pages + QStringLiteral("alerts.php") << pages + QStringLiteral("profile.php");
    v << pages + QStringLiteral("pages/website.php") << pages + QStringLiteral("pages/contact.php")
      << pages + QStringLiteral("pages/about.php") << pages + QStringLiteral("pages/help.php")
      << pages + QStringLiteral("pages/register.php") << pages + QStringLiteral("pages/password.php");
    v << number("browserLeft") << number("browserTop") << number("browserWidth") << number("browserHeight");
    v << *pageBackground;
    return v;
}

std::optional<SkinLibrary::Picture> SkinLibrary::picture(const QString &id, const QString &file) const
{
    if (!isPlainName(id, false) || !isPlainName(file, true))
        return std::nullopt;
    const QString suffix = QFileInfo(file).suffix().toLower();
    QByteArray type;
    if (suffix == QLatin1String("gif"))
        type = "image/gif";
    else if (suffix == QLatin1String("bmp"))
        type = "image/bmp";
    else if (suffix == QLatin1String("ico"))
        type = "image/x-icon";
    else if (suffix == QLatin1String("png"))
        type = "image/png";
    else if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        type = "image/jpeg";
    else
        return std::nullopt; // skin.ini and anything else in the folder stay private

    QFile f(QDir(m_folder).filePath(id + u'/' + file));
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxPictureBytes)
        return std::nullopt;
    return Picture{f.readAll(), type};
}

} // namespace alertserver
