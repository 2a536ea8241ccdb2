#include "server/skins/SkinLibrary.h"

#include "server/skins/DefaultSkin.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace alertserver {

namespace {

// A descriptor closed on every way out.
struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The values of skin.ini's [skin] section: "key=value" lines, values
// trimmed and without surrounding double quotes.
QHash<QString, QString> skinSection(const QByteArray &text)
{
    QHash<QString, QString> values;
    bool inSkin = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'[')) {
            inSkin = line.compare(QLatin1String("[skin]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (!inSkin || eq <= 0 || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
            value = value.mid(1, value.size() - 2);
        values.insert(line.left(eq).trimmed(), value);
    }
    return values;
}

} // namespace

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
    const auto text = read(id, QStringLiteral("skin.ini"), kMaxIniBytes);
    if (!text)
        return std::nullopt;
    const QHash<QString, QString> ini = skinSection(*text);

    const QString pictureRoot = QStringLiteral("alertsystem/skins/") + id + u'/';
    auto pictureValue = [&](const char *key) -> std::optional<QString> {
        const QString file = ini.value(QLatin1String(key));
        if (!isPlainName(file, true))
            return std::nullopt;
        return pictureRoot + file;
    };
    auto number = [&](const char *key) { return QString::number(ini.value(QLatin1String(key)).toInt()); };

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
    v << ini.value(QStringLiteral("tooltip"), QStringLiteral("Vantorel alerts"));
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

    const auto bytes = read(id, file, kMaxPictureBytes);
    if (!bytes)
        return std::nullopt;
    return Picture{*bytes, type};
}

std::optional<QByteArray> SkinLibrary::read(const QString &id, const QString &file, qint64 maxBytes) const
{
    // Each step is looked at before it is opened, and opened from the step
    // before without following a link: a link in a skin's folder (to the
    // store, say) is never opened, not even for a moment.
    Fd folder{::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    struct stat seen{};
    if (folder.fd < 0 || ::fstatat(folder.fd, QFile::encodeName(id).constData(), &seen, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISDIR(seen.st_mode))
        return std::nullopt;
    Fd skin{::openat(folder.fd, QFile::encodeName(id).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    const QByteArray name = QFile::encodeName(file);
    if (skin.fd < 0 || ::fstatat(skin.fd, name.constData(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)
        || seen.st_nlink != 1 || seen.st_size > maxBytes)
        return std::nullopt;
    for (const QString &path : m_private) {
        struct stat kept{};
        if (::stat(QFile::encodeName(path).constData(), &kept) == 0 && sameFile(kept, seen))
            return std::nullopt;
    }
    // Non-blocking: a pipe put there meanwhile never holds the request.
    Fd f{::openat(skin.fd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat opened{};
    if (f.fd < 0 || ::fstat(f.fd, &opened) != 0 || !sameFile(opened, seen) || !S_ISREG(opened.st_mode)
        || opened.st_size > maxBytes)
        return std::nullopt;
    QByteArray bytes(qsizetype(opened.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(f.fd, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    return bytes;
}

} // namespace alertserver
