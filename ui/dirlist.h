#pragma once

#include <QString>
#include <QTreeWidget>

// The folder list: the folders from the root down to the current folder,
// each indented one step further, then the current folder's subfolders
// one step further still. The current folder (path()) changes only when the
// operator opens a folder by double-clicking it, or through setPath();
// a folder that is only highlighted is not the path.
class DirList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit DirList(QWidget *parent = nullptr);

    QString path() const { return m_path; }
    // Shows dir as the current folder. A folder that does not exist is
    // refused (returns false) and the list stays as it was. Paths are kept
    // as the file system spells them (see nativepath).
    bool setPath(const QString &dir);

    static bool isFolder(const QString &path);
    // The folders in path, sorted as people sort names.
    static QStringList subfolders(const QString &path);

    // The folder an entry of the list stands for.
    static QString entryPath(const QTreeWidgetItem *item);

signals:
    void pathChanged(const QString &path);

protected:
    // The classic folder list shows no expand arrows.
    void drawBranches(QPainter *, const QRect &, const QModelIndex &) const override { }

private:
    void open(QTreeWidgetItem *item);

    QString m_path;
};
