#pragma once

#include <QPixmap>
#include <QString>
#include <QVariantMap>
#include <QWidget>

class QLabel;

namespace client {

// A picture control that downloads its picture from a web address in the
// background. Writing `url` starts a download (nothing for ""); every download
// that was started ends in exactly one loadComplete on the owner's thread:
// true when the picture arrived and is now shown, false when the address did
// not deliver a picture this control can decode (the shown picture is then
// unchanged). Downloads run side by side; a second write of the same address
// is a second download with its own event.
class RemoteLoader : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool Stretch READ Stretch WRITE setStretch)
    Q_PROPERTY(QPixmap Picture READ Picture WRITE setPicture)
    Q_PROPERTY(QString url READ url WRITE setUrl)
public:
    explicit RemoteLoader(QWidget *parent = nullptr);

    bool Stretch() const;
    void setStretch(bool New_Stretch);

    QPixmap Picture() const;
    void setPicture(const QPixmap &New_Picture);

    QString url() const { return m_url; }
    void setUrl(const QString &New_url);

    // The control's stored form in its hosting window: "Stretch", "Picture"
    // and "url", each left out when it has its default (false, none, "").
    // Reading a stored form back only remembers the address: it never starts
    // a download.
    QVariantMap WriteProperties() const;
    void ReadProperties(const QVariantMap &stored);

    // Decodes the bytes of a download as BMP, GIF, ICO, PNG or JPEG. A null
    // image for anything else (an HTML error page, a truncated file, other
    // formats).
    static QImage decodePicture(const QByteArray &bytes);

Q_SIGNALS:
    void loadComplete(bool errCode);
    // A download of this address has just been started (for observers that
    // care about the order in which several controls start theirs).
    void downloadStarted(const QString &address);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QLabel *Image1 = nullptr;
    QString m_url;
};

} // namespace client
