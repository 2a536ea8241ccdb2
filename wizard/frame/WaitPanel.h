#pragma once

#include <QFrame>
#include <QList>
#include <QPixmap>

class QLabel;

namespace kestrup {

// The wait panel of a server-talking window: `Frame2` holds the wait text
// `lblPleaseWait`; `Picture2` holds `imgload`, the visible loading picture,
// whose "tag" property is the number of the frame shown ("0" to "6").
// Both are hidden until the request cycle shows them; they keep their place
// in a layout while hidden so the window does not jump.
//
//   auto *panel = new WaitPanel(tr("Please wait, ..."), this);
//   layout->addWidget(panel->Frame2());  layout->addWidget(panel->Picture2());
class WaitPanel : public QObject
{
    Q_OBJECT
public:
    WaitPanel(const QString &waitText, QWidget *window);

    QFrame *Frame2() const { return m_frame2; }
    QFrame *Picture2() const { return m_picture2; }
    QLabel *lblPleaseWait() const { return m_lblPleaseWait; }
    QLabel *imgload() const { return m_imgload; }
    void setWaitText(const QString &text);

    // The frame number kept in imgload's tag, and showing a frame.
    int tag() const;
    void setTag(int frame);
    void showFrame(int frame);

private:
    QFrame *m_frame2;
    QFrame *m_picture2;
    QLabel *m_lblPleaseWait;
    QLabel *m_imgload;
    QList<QPixmap> m_img_loading; // the eight frames, indices 0..7
};

} // namespace kestrup
