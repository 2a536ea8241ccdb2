// Compiled into each server library (CommonConfig.cmake): the server must
// build without Qt Gui, or anything above it, on its include path.
#if __has_include(<QImage>) || __has_include(<QGuiApplication>) || __has_include(<QWidget>)
#error "a server library sees the headers of Qt Gui"
#endif
