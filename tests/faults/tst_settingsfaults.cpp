// The client's settings file when it cannot be written: on a full disk or a
// read-only file system the previous file stays as it was, byte for byte,
// and the failure is reported rather than taken for a save.
//
// The test mounts a small tmpfs of its own inside a private mount namespace,
// so it needs root (as the test machines run); elsewhere it is skipped.
#include "client/session/SessionSettings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using client::SessionPreferences;

class TestSettingsFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void fullDiskKeepsThePreviousFile();
    void readOnlyFileSystemKeepsThePreviousFile();
    void cleanupTestCase();

private:
    QString settingsPath() const { return m_config + QStringLiteral("/Tarvex Vantorel.conf"); }
    QByteArray fileBytes() const;
    // Fills the file system with one file until a write fails for lack of space.
    bool fillDisk();
    QStringList strayFiles() const;

    QTemporaryDir m_base;
    QString m_config;
    bool m_mounted = false;
};

namespace {

SessionPreferences prefs(const QString &user, const QString &password, std::int16_t autoLog)
{
    SessionPreferences p;
    p.AlertMode = 0;
    p.AudioAlert = 1;
    p.WindowOnTop = 0;
    p.Transparency = 80;
    p.AutoLog = autoLog;
    p.UserName = user;
    p.Password = password;
    return p;
}

} // namespace

void TestSettingsFaults::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    QVERIFY2(::unshare(CLONE_NEWNS) == 0, strerror(errno));
    QVERIFY2(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, strerror(errno));
    m_config = m_base.filePath(QStringLiteral("config"));
    QVERIFY(QDir().mkpath(m_config));
    QVERIFY2(::mount("tvxfull", QFile::encodeName(m_config).constData(), "tmpfs", 0, "size=64k,mode=0755") == 0,
             strerror(errno));
    m_mounted = true;
    // The store's folder comes from the environment at its first use.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
}

void TestSettingsFaults::cleanup()
{
    if (!m_mounted)
        return;
    ::mount(nullptr, QFile::encodeName(m_config).constData(), nullptr, MS_REMOUNT, nullptr);
    QFile::remove(m_config + QStringLiteral("/filler"));
}

void TestSettingsFaults::cleanupTestCase()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_config).constData(), MNT_DETACH);
}

QByteArray TestSettingsFaults::fileBytes() const
{
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool TestSettingsFaults::fillDisk()
{
    const int fd = ::open(QFile::encodeName(m_config + QStringLiteral("/filler")).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const QByteArray block(4096, 'x');
    for (int i = 0; i < 1024; ++i) {
        if (::write(fd, block.constData(), size_t(block.size())) < 0) {
            const bool full = errno == ENOSPC;
            ::close(fd);
            return full;
        }
    }
    ::close(fd);
    return false;
}

QStringList TestSettingsFaults::strayFiles() const
{
    QStringList names = QDir(m_config).entryList(QDir::Files | QDir::Hidden);
    names.removeAll(QStringLiteral("Tarvex Vantorel.conf"));
    names.removeAll(QStringLiteral("filler"));
    return names;
}

void TestSettingsFaults::fullDiskKeepsThePreviousFile()
{
    QVERIFY(client::SaveStoredSettings(prefs(QStringLiteral("ann"), QStringLiteral("first"), 1)));
    const QByteArray before = fileBytes();
    QVERIFY2(before.contains("USERNAME=ann") && before.contains("PASSWORD=first"), before.constData());

    QVERIFY(fillDisk());
    // A file that needs more room than the old one freed: written in place
    // it would be cut short.
    const QString longName = QString(6000, u'n');
    QVERIFY(!client::SaveStoredSettings(prefs(longName, QStringLiteral("second"), 0)));
    QCOMPARE(fileBytes(), before);
    QVERIFY(!client::StoreAutoLogOn());
    QCOMPARE(fileBytes(), before);
    QCOMPARE(strayFiles(), QStringList());

    // With room again the next save goes through whole.
    QVERIFY(QFile::remove(m_config + QStringLiteral("/filler")));
    QVERIFY(client::SaveStoredSettings(prefs(longName, QStringLiteral("second"), 0)));
    const QByteArray after = fileBytes();
    QVERIFY(after.contains("USERNAME=" + longName.toLatin1()));
    QVERIFY(after.contains("PASSWORD=second"));
    QVERIFY(after.contains("AUTOLOG=0"));
    QCOMPARE(strayFiles(), QStringList());
}

void TestSettingsFaults::readOnlyFileSystemKeepsThePreviousFile()
{
    QVERIFY(client::SaveStoredSettings(prefs(QStringLiteral("bob"), QStringLiteral("one"), 1)));
    const QByteArray before = fileBytes();
    QVERIFY2(before.contains("USERNAME=bob"), before.constData());
    QVERIFY2(::mount(nullptr, QFile::encodeName(m_config).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
             strerror(errno));
    QVERIFY(!client::SaveStoredSettings(prefs(QStringLiteral("carol"), QStringLiteral("two"), 0)));
    QVERIFY(!client::StoreAutoLogOn());
    QCOMPARE(fileBytes(), before);
}

QTEST_GUILESS_MAIN(TestSettingsFaults)
#include "tst_settingsfaults.moc"
