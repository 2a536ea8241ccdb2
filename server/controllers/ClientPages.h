#pragma once

#include "server/web/Http.h"

#include <QString>

namespace alertserver {

class Links;
class Store;
struct PageRequest;

// The client's pages of the programs' wire: login, the status poll, the
// alert and profile pages, and the fixed pages the skin and the mails link to.
class ClientPages
{
public:
    // How many alerts the alert page lists.
    static constexpr int kAlertsShown = 200;

    ClientPages(Store &store, const Links &links) : m_store(store), m_links(links) {}

    HttpReply login(PageRequest &r);    // login.php?username=&password=
    HttpReply status(PageRequest &r);   // status.php?username=
    HttpReply alerts(PageRequest &r);   // alerts.php?username=
    // acknowledge.php (POST username, id, token): the alert page's form.
    HttpReply acknowledge(PageRequest &r);
    HttpReply profile(PageRequest &r);  // profile.php?id=
    HttpReply download(PageRequest &r); // download.php
    HttpReply linkPage(PageRequest &r); // pages/<name>.php

private:
    // The client session of the caller: its address, or the one session of
    // the user when sessions are per user.
    QString sessionOf(const HttpRequest &request) const;

    Store &m_store;
    const Links &m_links;
};

} // namespace alertserver
