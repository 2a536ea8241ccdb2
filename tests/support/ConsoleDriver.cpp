#include "ConsoleDriver.h"

#include "Patience.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>

#include <memory>

namespace testsupport {

ConsoleDriver::ConsoleDriver(QWebEnginePage &page) : m_page(page)
{
}

QString ConsoleDriver::literal(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

bool ConsoleDriver::open(const QUrl &url)
{
    return loaded([&] { m_page.load(url); });
}

bool ConsoleDriver::reload()
{
    return loaded([&] { m_page.triggerAction(QWebEnginePage::Reload); });
}

bool ConsoleDriver::loaded(const std::function<void()> &start)
{
    std::optional<bool> finished;
    QEventLoop loop;
    const auto done = QObject::connect(&m_page, &QWebEnginePage::loadFinished, &loop, [&](bool ok) {
        finished = ok;
        loop.quit();
    });
    const auto died = QObject::connect(&m_page, &QWebEnginePage::renderProcessTerminated, &loop, &QEventLoop::quit);
    QTimer::singleShot(patient(30000), &loop, &QEventLoop::quit);
    start();
    loop.exec();
    QObject::disconnect(done);
    QObject::disconnect(died);
    return finished.value_or(false);
}

std::optional<QVariant> ConsoleDriver::evaluate(const QString &script)
{
    // The page answers every script, unless its renderer is gone: the bound
    // and the renderer's end are the other ways out.
    auto result = std::make_shared<std::optional<QVariant>>();
    QEventLoop loop;
    QPointer<QEventLoop> alive(&loop);
    const auto died = QObject::connect(&m_page, &QWebEnginePage::renderProcessTerminated, &loop, &QEventLoop::quit);
    QTimer::singleShot(patient(10000), &loop, &QEventLoop::quit);
    m_page.runJavaScript(script, [result, alive](const QVariant &value) {
        *result = value;
        if (alive)
            alive->quit();
    });
    if (!result->has_value())
        loop.exec();
    QObject::disconnect(died);
    return *result;
}

bool ConsoleDriver::waitUntil(const QString &condition, int boundMs)
{
    const QString script = QStringLiteral("(function(){try{return !!(%1);}catch(e){return false;}})()").arg(condition);
    return QTest::qWaitFor([&] { return evaluate(script).value_or(false).toBool(); }, patient(boundMs));
}

bool ConsoleDriver::fill(const QString &selector, const QString &value)
{
    const QString find = QStringLiteral("document.querySelector(%1)").arg(literal(selector));
    return waitUntil(find)
        && evaluate(QStringLiteral("(function(){var e=%1;e.focus();e.value=%2;"
                                   "e.dispatchEvent(new Event('input',{bubbles:true}));"
                                   "e.dispatchEvent(new Event('change',{bubbles:true}));return true;})()")
                        .arg(find, literal(value)))
               .value_or(false)
               .toBool();
}

bool ConsoleDriver::click(const QString &selector)
{
    const QString find = QStringLiteral("document.querySelector(%1)").arg(literal(selector));
    return waitUntil(find + QStringLiteral(" && !") + find + QStringLiteral(".disabled"))
        && evaluate(QStringLiteral("(function(){var e=%1;e.focus();e.click();return true;})()").arg(find))
               .value_or(false)
               .toBool();
}

std::optional<QString> ConsoleDriver::text(const QString &selector)
{
    const std::optional<QVariant> v = evaluate(
        QStringLiteral("(function(){var e=document.querySelector(%1);return e?e.textContent:null;})()")
            .arg(literal(selector)));
    if (!v || v->isNull())
        return std::nullopt;
    return v->toString();
}

bool ConsoleDriver::signIn(const QString &name, const QString &password)
{
    return waitUntil(QStringLiteral("!document.getElementById('signin').hidden")) && fill("#signin-name", name)
        && fill("#signin-password", password) && click("#signin-form button[type=submit]")
        && waitUntil(QStringLiteral("!document.getElementById('nav').hidden"));
}

bool ConsoleDriver::pickUser(const QString &name)
{
    const QString box = QStringLiteral("#users input[value=%1]").arg(literal(name));
    return fill("#search", name) && waitUntil("document.getElementById('users').getAttribute('aria-busy') === 'false'")
        && click(box)
        && waitUntil(QStringLiteral("document.querySelector(%1).checked").arg(literal(box)));
}

QString ConsoleDriver::errorLine()
{
    return text("#error:not([hidden])").value_or(QString());
}

} // namespace testsupport
