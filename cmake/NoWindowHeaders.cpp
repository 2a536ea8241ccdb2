// Compiled into each core library (CommonConfig.cmake): the logic there must
// build without the window and browser modules on its include path.
#if __has_include(<QWidget>) || __has_include(<QWebEngineView>) || __has_include(<QWebEngineProfile>)
#error "a core library sees the Widgets or WebEngine headers"
#endif
