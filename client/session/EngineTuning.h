#pragma once

class QWebEngineProfile;

namespace client {

// How the client runs its browser engine: everything is drawn without OpenGL.
// On a desktop without a GPU driver, GL costs Mesa's software rasteriser and
// LLVM in the main process, more memory than all of the client's own code,
// and the client's pages are small and still. Looking for a GPU first would
// load those very libraries, so it is always so.
//
// Before the application object exists:
void PrepareSoftwareDrawing();
// Right after it: the switch that the platform has read is taken out of the
// environment again, so that programs opened from the menu (a web browser)
// do not inherit it.
void EndPlatformSwitches();

// The engine's features that the client never uses are off in its profile:
// the disk cache (its pages always come fresh), spell checking, the PDF
// viewer and plug-ins.
void TuneProfile(QWebEngineProfile *profile);

} // namespace client
