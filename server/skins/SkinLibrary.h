#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <utility>
#include <optional>

namespace alertserver {

// The skins folder: one subfolder per skin id, each with a skin.ini that
// names its pictures and gives its sizes and positions in twips. The client
// asks for a skin by id and then downloads the pictures from the folder.
class SkinLibrary
{
public:
    static constexpr int kSkinValueCount = 24;
    static constexpr qint64 kMaxPictureBytes = 4 * 1024 * 1024;
    static constexpr qint64 kMaxIniBytes = 64 * 1024;

    explicit SkinLibrary(QString folder);
    const QString &folder() const { return m_folder; }
    // Files never served nor read, whatever links point at them: the store
    // and its -wal and -shm files (a descriptor of the store closed by
    // anyone but SQLite drops SQLite's locks).
    void keepPrivate(QStringList files) { m_private = std::move(files); }

    // Writes our own artwork as skin "1" unless that skin exists already.
    bool ensureDefaultSkin() const;

    // Skin ids and picture names are plain names: letters, digits, "-",
    // "_" and (names only) "."; never a path.
    static bool isPlainName(QStringView name, bool allowDot);

    // The 24 values of a skin in the order the client reads them; pages and
    // links are full addresses on `base` ("http://host:port"). No value for an
    // unknown skin or one whose skin.ini lacks a picture.
    std::optional<QStringList> values(const QString &id, const QString &base) const;

    struct Picture
    {
        QByteArray bytes;
        QByteArray contentType;
    };
    std::optional<Picture> picture(const QString &id, const QString &file) const;

private:
    // A file of a skin's folder: a regular file with one link, not a private
    // one, reached without following a link on the way. No value otherwise.
    std::optional<QByteArray> read(const QString &id, const QString &file, qint64 maxBytes) const;

    QString m_folder;
    QStringList m_private;
};

} // namespace alertserver
