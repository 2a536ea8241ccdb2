#pragma once

#include <QPixmap>
#include <QString>

#include <array>
#include <cstdint>

namespace client {

// The three values read from system.xml by position. Filled once by the
// loading window, read only afterwards.
struct StartupValues
{
    QString WindowTitle;  // root child 0: the main window's caption
    QString ServerBase;   // root child 1: scheme, host, optional port; paths are appended as they stand
    QString NotifyTypeId; // root child 2: the skin id sent to the server
};

// The 24 values of the skin reply. All sizes and positions are in twips
// (15 twips to a pixel). Filled by the loading window before the main window
// exists, never changed afterwards.
struct SkinValues
{
    QPixmap CloseButtonPicture;  // child 0
    QPixmap MenuButtonPicture;   // child 1
    QPixmap BackgroundPicture;   // child 2
    std::int16_t WindowWidth = 0;     // child 3
    std::int16_t WindowHeight = 0;    // child 4
    std::int16_t CloseButtonLeft = 0; // child 5
    std::int16_t CloseButtonTop = 0;  // child 6
    std::int16_t MenuButtonLeft = 0;  // child 7
    std::int16_t MenuButtonTop = 0;   // child 8
    QPixmap AppIcon;             // child 9
    QString TrayToolTip;         // child 10
    QString AlertPageUrl;        // child 11
    QString ProfilePageUrl;      // child 12
    // children 13..18: web site, contact, about, help, registration page, password reminder
    std::array<QString, 6> LinkUrls;
    std::int16_t BrowserLeft = 0;   // child 19
    std::int16_t BrowserTop = 0;    // child 20
    std::int16_t BrowserWidth = 0;  // child 21
    std::int16_t BrowserHeight = 0; // child 22
    // child 23, the page background, is written to html/images/background.bmp and not kept.
};

constexpr int kTwipsPerPixel = 15;
constexpr int twipsToPixels(int twips) { return twips / kTwipsPerPixel; }

} // namespace client
