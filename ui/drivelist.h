#pragma once

#include <QComboBox>
#include <QStringList>

// The drive list. On Linux a "drive" is the root of a mounted file system
// that is ready; on Windows, a drive. The list shows the roots' paths.
class DriveList : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveList(QWidget *parent = nullptr);

    // The root of the selected drive.
    QString drive() const;
    // Selects the drive that holds path (the mounted file system with the
    // longest root that contains it). A root not yet listed is added.
    void setDrive(const QString &path);

    // Replaces the listed roots (the mounted ones by default).
    void setRoots(const QStringList &roots);

    static QStringList mountedRoots();
    // True when a root can be used: it is still there and readable.
    static bool isReady(const QString &root);
};
