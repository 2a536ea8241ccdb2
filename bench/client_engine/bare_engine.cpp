// The yardstick for the client's memory and first paint: a browser engine view
// with every one of Qt's defaults, showing the local page it is given.
//   bare_engine PAGE.html

#include <QApplication>
#include <QUrl>
#include <QWebEngineView>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QWebEngineView view;
    view.setWindowTitle(QStringLiteral("bare engine"));
    view.resize(300, 300);
    view.load(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    view.show();
    return app.exec();
}
