#pragma once

#include "server/web/Http.h"
#include "server/web/Replies.h"

#include <optional>

namespace alertserver {

class Links;
class MailDelivery;
class Store;
struct PageRequest;

// The wizard's pages of the programs' wire, under admin/: registration and
// its activation link, login, and the administrator's users.
class AdminPages
{
public:
    // The access code the wizard sends with every e-mail request.
    static constexpr const char *kMailAccessCode = "q804";

    // How each page refuses, as the wizard reads it: the login page's and
    // the new user's own failure words, and for the user list's pages (which
    // read any well-formed reply but their two words as a list of users) a
    // body that is no XML.
    static constexpr Refusal kLoginRefusal{Refusal::Form::Xml, "INVALID"};
    static constexpr Refusal kAddUserRefusal{Refusal::Form::Xml, "CANOTADD"};
    static constexpr Refusal kUserListRefusal{Refusal::Form::NotXml, nullptr};

    AdminPages(Store &store, MailDelivery &mail, const Links &links) : m_store(store), m_mail(mail), m_links(links) {}

    HttpReply registerAdmin(PageRequest &r); // register.php
    HttpReply activate(PageRequest &r);      // activate.php?code=
    HttpReply login(PageRequest &r);         // login.php
    HttpReply listUsers(PageRequest &r);     // getusers.php?mrgID=
    HttpReply addUser(PageRequest &r);       // adduser.php
    HttpReply editUser(PageRequest &r);      // edituser.php
    HttpReply deleteUser(PageRequest &r);    // deleteuser.php?id=
    HttpReply sendEmail(PageRequest &r);     // sendemail.php

private:
    // Whether `adminId` names an administrator bound to the caller; a
    // refusal counts against the caller's address.
    bool boundToCaller(std::optional<int> adminId, const HttpRequest &request);
    // The administrator of user `userId` when bound to the caller.
    std::optional<int> ownerBoundToCaller(std::optional<int> userId, const HttpRequest &request);
    template <typename Check>
    bool callerMay(const HttpRequest &request, Check &&check);

    Store &m_store;
    MailDelivery &m_mail;
    const Links &m_links;
};

} // namespace alertserver
