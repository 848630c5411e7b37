#include "ui/dirlist.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QStyle>

#include <algorithm>

namespace {
constexpr int kPathRole = Qt::UserRole;
} // namespace

DirList::DirList(QWidget *parent)
    : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setIndentation(10);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) { open(item); });
}

QString DirList::entryPath(const QTreeWidgetItem *item)
{
    return item ? item->data(0, kPathRole).toString() : QString();
}

void DirList::open(QTreeWidgetItem *item)
{
    const QString dir = entryPath(item);
    if (!dir.isEmpty() && dir != m_path)
        setPath(dir);
}

bool DirList::setPath(const QString &dir)
{
    const QFileInfo info(dir);
    if (dir.isEmpty() || !info.isDir())
        return false;
    const QString path = QDir::cleanPath(info.absoluteFilePath());

    // The chain of folders from the root down to path.
    QStringList chain;
    QDir d(path);
    chain.prepend(d.absolutePath());
    while (!d.isRoot() && d.cdUp())
        chain.prepend(d.absolutePath());

    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);

    QTreeWidgetItem *parent = nullptr;
    for (const QString &folder : std::as_const(chain)) {
        const QDir fd(folder);
        const QString name = fd.isRoot() ? QDir::toNativeSeparators(folder) : fd.dirName();
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
        item->setText(0, name);
        item->setIcon(0, openIcon);
        item->setData(0, kPathRole, folder);
        item->setToolTip(0, QDir::toNativeSeparators(folder));
        parent = item;
    }
    QTreeWidgetItem *current = parent;

    QStringList subfolders = QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(subfolders.begin(), subfolders.end(), collator);
    for (const QString &name : std::as_const(subfolders)) {
        auto *item = new QTreeWidgetItem(current);
        item->setText(0, name);
        item->setIcon(0, closedIcon);
        item->setData(0, kPathRole, QDir(path).filePath(name));
    }

    expandAll();
    setCurrentItem(current);
    // Show the folder's parent at the top: the way up and, below the
    // current folder, as many subfolders as fit.
    scrollToItem(current->parent() ? current->parent() : current, QAbstractItemView::PositionAtTop);

    const bool changed = path != m_path;
    m_path = path;
    if (changed)
        emit pathChanged(m_path);
    return true;
}
