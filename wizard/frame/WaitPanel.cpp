#include "WaitPanel.h"

#include "Artwork.h"

#include <QHBoxLayout>
#include <QLabel>

namespace kestrup {

WaitPanel::WaitPanel(const QString &waitText, QWidget *window)
    : QObject(window)
    , m_frame2(new QFrame(window))
    , m_picture2(new QFrame(window))
    , m_lblPleaseWait(new QLabel(waitText, m_frame2))
    , m_imgload(new QLabel(m_picture2))
{
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    m_picture2->setObjectName(QStringLiteral("Picture2"));
    m_lblPleaseWait->setObjectName(QStringLiteral("lblPleaseWait"));
    m_imgload->setObjectName(QStringLiteral("imgload"));

    m_lblPleaseWait->setWordWrap(true);
    auto *frameLayout = new QHBoxLayout(m_frame2);
    frameLayout->setContentsMargins(4, 4, 4, 4);
    frameLayout->addWidget(m_lblPleaseWait);

    for (int i = 0; i < Artwork::kLoadingFrames; ++i)
        m_img_loading.append(Artwork::loadingFrame(i));
    m_imgload->setFixedSize(50, 56);
    auto *pictureLayout = new QHBoxLayout(m_picture2);
    pictureLayout->setContentsMargins(0, 0, 0, 0);
    pictureLayout->addWidget(m_imgload);
    setTag(0);
    showFrame(0);

    for (QWidget *w : {static_cast<QWidget *>(m_frame2), static_cast<QWidget *>(m_picture2)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
        w->hide();
    }
}

void WaitPanel::setWaitText(const QString &text)
{
    m_lblPleaseWait->setText(text);
}

int WaitPanel::tag() const
{
    return m_imgload->property("tag").toString().toInt();
}

void WaitPanel::setTag(int frame)
{
    m_imgload->setProperty("tag", QString::number(frame));
}

void WaitPanel::showFrame(int frame)
{
    if (frame < 0 || frame >= m_img_loading.size())
        return;
    m_imgload->setPixmap(m_img_loading.at(frame));
}

} // namespace kestrup
