#include "LoginBridge.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaMethod>

namespace client {

const QString LoginBridge::kChannelName = QStringLiteral("loginbridge");

namespace {

QString jsString(const QString &text)
{
    // A one-element JSON array is valid script; strip the brackets to get a
    // safely quoted string literal.
    const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

// The channel's client library, loaded once from the resource that the web
// channel module carries.
const QString &channelLibrary()
{
    static const QString source = [] {
        QFile file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }();
    return source;
}

} // namespace

LoginBridge::LoginBridge(Targets targets, QObject *parent)
    : QObject(parent)
    , m_targets(std::move(targets))
{
}

QString LoginBridge::resolveMethod(const QString &name)
{
    const QMetaObject &meta = staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() != QMetaMethod::Slot || method.access() != QMetaMethod::Public)
            continue;
        const QString candidate = QString::fromLatin1(method.name());
        if (candidate.compare(name, Qt::CaseInsensitive) == 0)
            return candidate;
    }
    return {};
}

QString LoginBridge::hookScript(const QString &elementId, const QString &methodName,
                                const QString &argument)
{
    // The connection to the bridge is made once per page and shared by all
    // handlers; the element's click handler is replaced, as assigning an
    // onclick handler does.
    static const QString kTemplate = QStringLiteral(R"JS(
(function (id, method, arg, channelName) {
    if (!window.__tvxBridge) {
        window.__tvxBridge = new Promise(function (resolve, reject) {
            if (typeof qt === 'undefined' || !qt.webChannelTransport) { reject('no channel'); return; }
            new QWebChannel(qt.webChannelTransport, function (channel) {
                resolve(channel.objects[channelName]);
            });
        });
        window.__tvxBridge.catch(function () {});
    }
    var element = document.getElementById(id);
    if (!element)
        return false;
    element.onclick = function (event) {
        if (event)
            event.preventDefault();
        if (!method)
            throw new Error('no such method');
        window.__tvxBridge.then(function (bridge) { bridge[method](arg); });
        return false;
    };
    return true;
})(%1, %2, %3, %4);
)JS");
    return channelLibrary() + QStringLiteral("\n;\n")
        + kTemplate.arg(jsString(elementId), jsString(resolveMethod(methodName)), jsString(argument),
                        jsString(kChannelName));
}

void LoginBridge::Loguser(const QString &xvar)
{
    call(m_targets.Loguser, xvar);
}

void LoginBridge::subRegister(const QString &xvar)
{
    call(m_targets.subRegister, xvar);
}

void LoginBridge::subGetpassword(const QString &xvar)
{
    call(m_targets.subGetpassword, xvar);
}

void LoginBridge::call(const Handler &handler, const QString &xvar)
{
    if (m_targets.allowed && !m_targets.allowed())
        return;
    if (handler)
        handler(xvar);
}

} // namespace client
