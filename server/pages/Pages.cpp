#include "server/pages/Pages.h"

#include "server/pages/Markup.h"

#include <QDateTime>

namespace alertserver::pages {

namespace {

QString head(const QString &title)
{
    // The look comes from a style sheet of its own: the pages' security
    // policy allows no inline style.
    return QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                          "<meta http-equiv=\"Cache-Control\" content=\"no-cache\">"
                          "<title>%1</title><link rel=\"stylesheet\" href=\"%2\"></head>"
                          "<body><header>%1</header><main>")
        .arg(escapeMarkup(title), QLatin1String(kStyleSheetPath));
}

QString foot()
{
    return QStringLiteral("</main></body></html>\n");
}

QString paragraph(const QString &text)
{
    return QStringLiteral("<p>") + escapeMarkup(text) + QStringLiteral("</p>");
}

QString notLoggedIn()
{
    return paragraph(QStringLiteral("You are not logged in. Log in with the Tarvex alert client to see this page."));
}

} // namespace

QByteArray styleSheet()
{
    return QByteArrayLiteral("body{font-family:sans-serif;margin:0;background:#ecf6f8;color:#122a4a}\n"
                             "header{background:#186e80;color:#fff;padding:6px 10px;font-weight:bold}\n"
                             "main{padding:8px 10px}\n"
                             ".alert{background:#fff;border-left:4px solid #f0b830;margin:0 0 8px;padding:6px 8px}\n"
                             ".when{color:#567;font-size:smaller}\n"
                             ".priority{font-weight:bold}.state{font-style:italic}\n"
                             ".high{border-left-color:#e07010}.high .priority{color:#a04000}\n"
                             ".emergency{border:3px solid #c00000;background:#ffe4e4}\n"
                             ".emergency .priority{color:#fff;background:#c00000;padding:0 4px}\n"
                             ".expired{opacity:.6}form{margin:4px 0 0}\n"
                             "table{border-collapse:collapse}td{padding:2px 8px 2px 0}\n");
}

QByteArray simple(const QString &title, const QStringList &paragraphs)
{
    QString html = head(title);
    for (const QString &p : paragraphs)
        html += paragraph(p);
    return (html + foot()).toUtf8();
}

QByteArray alerts(const std::optional<UserRecord> &user, const QList<AlertRecord> &list, qint64 now)
{
    QString html = head(QStringLiteral("Your alerts"));
    if (!user || !user->loggedIn) {
        html += notLoggedIn();
    } else if (list.isEmpty()) {
        html += paragraph(QStringLiteral("Hello %1, there are no alerts for you yet.").arg(user->firstname.isEmpty() ? user->username : user->firstname));
    } else {
        const auto time = [](qint64 t) {
            return escapeMarkup(QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        };
        for (const AlertRecord &a : list) {
            QString text = escapeMarkup(a.text);
            text.replace(u'\n', QLatin1String("<br>"));
            const bool expired = a.expiresAt && *a.expiresAt <= now;
            // The label says the priority in words, so that no colour alone
            // tells an emergency from a notice.
            QString label;
            switch (a.priority) {
            case Priority::Emergency: label = QStringLiteral("EMERGENCY"); break;
            case Priority::High: label = QStringLiteral("High priority"); break;
            case Priority::Normal: label = QStringLiteral("Notice"); break;
            }
            QString state;
            if (expired)
                state += QStringLiteral(" <span class=\"state\">Expired</span>");
            if (a.resolvedAt)
                state += QStringLiteral(" <span class=\"state\">Resolved %1</span>").arg(time(*a.resolvedAt));
            if (a.acknowledgedAt)
                state += QStringLiteral(" <span class=\"state\">Acknowledged %1</span>").arg(time(*a.acknowledgedAt));
            QString form;
            if (!a.acknowledgedAt && !expired && !a.ackToken.isEmpty())
                form = QStringLiteral("<form method=\"post\" action=\"acknowledge.php\">"
                                      "<input type=\"hidden\" name=\"username\" value=\"%1\">"
                                      "<input type=\"hidden\" name=\"id\" value=\"%2\">"
                                      "<input type=\"hidden\" name=\"token\" value=\"%3\">"
                                      "<button type=\"submit\">Acknowledge</button></form>")
                           .arg(escapeMarkup(user->username), QString::number(a.id), QString::fromLatin1(a.ackToken));
            html += QStringLiteral("<div class=\"alert %1%2\"><div class=\"when\"><span class=\"priority\">%3</span> "
                                   "%4%5</div><div class=\"text\">%6</div>%7</div>")
                        .arg(priorityName(a.priority), expired ? QStringLiteral(" expired") : QString(), label,
                             time(a.createdAt), state, text, form);
        }
    }
    return (html + foot()).toUtf8();
}

QByteArray profile(const std::optional<UserRecord> &user)
{
    QString html = head(QStringLiteral("My profile"));
    if (!user || !user->loggedIn) {
        html += notLoggedIn();
    } else {
        const QList<std::pair<QString, QString>> rows{
            {QStringLiteral("User name"), user->username},
            {QStringLiteral("First name"), user->firstname},
            {QStringLiteral("Last name"), user->lastname},
            {QStringLiteral("E-mail"), user->email},
            {QStringLiteral("Telephone"), user->tel},
            {QStringLiteral("Wireless phone"), user->wirelessno},
        };
        html += QStringLiteral("<table>");
        for (const auto &row : rows)
            html += QStringLiteral("<tr><td>%1</td><td>%2</td></tr>").arg(escapeMarkup(row.first), escapeMarkup(row.second));
        html += QStringLiteral("</table>");
        html += paragraph(QStringLiteral("Your administrator keeps these details; ask them for any change."));
    }
    return (html + foot()).toUtf8();
}

QByteArray link(const QString &name, const QString &base)
{
    if (name == QLatin1String("website"))
        return simple(QStringLiteral("Vantorel Software"),
                      {QStringLiteral("Vantorel Software brings instant alerts to the desktops of your team."),
                       QStringLiteral("This alert server runs at %1.").arg(base)});
    if (name == QLatin1String("contact"))
        return simple(QStringLiteral("Contact us"),
                      {QStringLiteral("For questions about your alert account, contact the administrator who set it up for you.")});
    if (name == QLatin1String("about"))
        return simple(QStringLiteral("About"),
                      {QStringLiteral("Tarvex alert client and Vantorel alert server.")});
    if (name == QLatin1String("help"))
        return simple(QStringLiteral("Help"),
                      {QStringLiteral("Log in with the user name and password your administrator gave you."),
                       QStringLiteral("While you are logged in, the client checks for new alerts every two seconds and "
                                      "shows them in its window.")});
    if (name == QLatin1String("register"))
        return simple(QStringLiteral("Get an account"),
                      {QStringLiteral("Alert accounts are created by your administrator. Ask them to add you; you "
                                      "will receive an e-mail with the download link.")});
    if (name == QLatin1String("password"))
        return simple(QStringLiteral("Forgot your password?"),
                      {QStringLiteral("Your administrator can look up and change your password in the Kestrup "
                                      "administrator wizard.")});
    if (name == QLatin1String("download"))
        return simple(QStringLiteral("Download the alert client"),
                      {QStringLiteral("Install the Tarvex alert client on your computer, then log in with the user "
                                      "name from your invitation e-mail and the password your administrator gave you."),
                       QStringLiteral("The client connects to the alert server at %1.").arg(base)});
    return {};
}

} // namespace alertserver::pages
