#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A file written whole or not at all, under its name's own bytes (see
// nativepath): the bytes go into a temporary file beside it, which
// commit() renames over it. Without commit() the temporary file is
// removed and an older file of that name stays as it was.
class SaveFile
{
public:
    explicit SaveFile(const QString &path);
    ~SaveFile();
    SaveFile(const SaveFile &) = delete;
    SaveFile &operator=(const SaveFile &) = delete;

    bool open();
    // Where to write, once open.
    QFile &device() { return m_file; }
    bool commit();
    // Why open() or commit() failed, naming the file.
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &why);
    bool fail(int err);

    QString m_path;
    QByteArray m_temp;
    int m_fd = -1;
    QFile m_file;
    QString m_error;
};
