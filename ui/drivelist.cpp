#include "ui/drivelist.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>

namespace {
constexpr int kRootRole = Qt::UserRole;

// root contains path: the same folder or one below it.
bool contains(const QString &root, const QString &path)
{
    if (path == root)
        return true;
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    return path.startsWith(prefix);
}
} // namespace

DriveList::DriveList(QWidget *parent)
    : QComboBox(parent)
{
    setRoots(mountedRoots());
}

QStringList DriveList::mountedRoots()
{
    QStringList roots;
    const auto volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &v : volumes) {
        // Files mounted over files (a container's /etc/hosts) are not drives.
        if (v.isValid() && v.isReady() && QFileInfo(v.rootPath()).isDir())
            roots.append(v.rootPath());
    }
    roots.removeDuplicates();
    std::sort(roots.begin(), roots.end());
    return roots;
}

bool DriveList::isReady(const QString &root)
{
    const QFileInfo info(root);
    if (!info.isDir() || !info.isReadable())
        return false;
    const QStorageInfo storage(root);
    return storage.isValid() && storage.isReady();
}

void DriveList::setRoots(const QStringList &roots)
{
    const QSignalBlocker blocker(this);
    clear();
    for (const QString &root : roots)
        addItem(QDir::toNativeSeparators(root), root);
}

QString DriveList::drive() const
{
    return currentData(kRootRole).toString();
}

void DriveList::setDrive(const QString &path)
{
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    int best = -1;
    for (int i = 0; i < count(); ++i) {
        const QString root = itemData(i, kRootRole).toString();
        if (contains(root, clean) && (best < 0 || root.size() > itemData(best, kRootRole).toString().size()))
            best = i;
    }
    if (best < 0) {
        const QStorageInfo storage(clean);
        const QString root = storage.isValid() ? storage.rootPath() : QDir(clean).rootPath();
        addItem(QDir::toNativeSeparators(root), root);
        best = count() - 1;
    }
    setCurrentIndex(best);
}
