#include "ui/dirlist.h"

#include "common/nativepath.h"

#include <QCollator>
#include <QDir>
#include <QHeaderView>
#include <QStyle>

#include <algorithm>

#include <sys/stat.h>

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

QStringList DirList::subfolders(const QString &path)
{
    // Read with the system's own calls: names that are not valid UTF-8 are
    // listed too, and kept as the file system spells them.
    QStringList names = nativepath::entries(path);
    names.removeIf([&](const QString &name) {
        struct stat st
        { };
        return !nativepath::stat(path + u'/' + name, st) || !S_ISDIR(st.st_mode);
    });
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(names.begin(), names.end(), collator);
    return names;
}

bool DirList::isFolder(const QString &path)
{
    struct stat st
    { };
    return !path.isEmpty() && nativepath::stat(path, st) && S_ISDIR(st.st_mode);
}

bool DirList::setPath(const QString &dir)
{
    if (!isFolder(dir))
        return false;
    const QString path = QDir::cleanPath(QDir::isAbsolutePath(dir) ? dir : QDir::current().absoluteFilePath(dir));

    // The chain of folders from the root down to path.
    QStringList chain{path};
    for (qsizetype cut = path.lastIndexOf(u'/'); chain.first() != QStringLiteral("/");
         cut = chain.first().lastIndexOf(u'/'))
        chain.prepend(cut > 0 ? path.left(cut) : QStringLiteral("/"));

    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);

    QTreeWidgetItem *parent = nullptr;
    for (const QString &folder : std::as_const(chain)) {
        const bool root = folder == QStringLiteral("/");
        const QString name = root ? folder : folder.mid(folder.lastIndexOf(u'/') + 1);
        auto *item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
        item->setText(0, nativepath::display(name));
        item->setIcon(0, openIcon);
        item->setData(0, kPathRole, folder);
        item->setToolTip(0, nativepath::display(folder));
        parent = item;
    }
    QTreeWidgetItem *current = parent;

    for (const QString &name : subfolders(path)) {
        auto *item = new QTreeWidgetItem(current);
        item->setText(0, nativepath::display(name));
        item->setIcon(0, closedIcon);
        item->setData(0, kPathRole, path == QStringLiteral("/") ? path + name : path + u'/' + name);
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
