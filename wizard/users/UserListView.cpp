#include "UserListView.h"

#include "UserListReply.h"

#include <QHeaderView>
#include <QTreeWidget>

namespace kestrup::UserListView {

namespace {

constexpr int kColumnWidth = 96; // 1440 twips, one inch

QTreeWidgetItem *makeItem(const UserRow &row)
{
    auto *item = new QTreeWidgetItem;
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable
                   | Qt::ItemNeverHasChildren);
    item->setCheckState(ColUsername, Qt::Unchecked);
    item->setText(ColUsername, row.username);
    setSubItemsAndTag(item, row);
    return item;
}

} // namespace

void setUp(QTreeWidget *list)
{
    list->setColumnCount(UserColumnCount);
    list->setHeaderLabels({QStringLiteral("Username"), QStringLiteral("Firstname"),
                           QStringLiteral("Lastname"), QStringLiteral("Email"),
                           QStringLiteral("Tel. #"), QStringLiteral("Wireless Phone #"),
                           QStringLiteral("Service Provider"), QStringLiteral("password")});
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setSortingEnabled(false);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setAllColumnsShowFocus(true);
    // Every row is one line high; telling the view so spares it measuring
    // each of thousands of rows.
    list->setUniformRowHeights(true);
    QHeaderView *header = list->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < ColPassword; ++c)
        list->setColumnWidth(c, kColumnWidth);
    hidePasswordColumn(list);
}

void hidePasswordColumn(QTreeWidget *list)
{
    QHeaderView *header = list->header();
    header->setMinimumSectionSize(0);
    header->setSectionResizeMode(ColPassword, QHeaderView::Fixed);
    list->setColumnWidth(ColPassword, 0);
}

void appendRows(QTreeWidget *list, const QList<UserRow> &rows)
{
    if (rows.isEmpty())
        return;
    QList<QTreeWidgetItem *> items;
    items.reserve(rows.size());
    for (const UserRow &row : rows)
        items.append(makeItem(row));
    list->setUpdatesEnabled(false);
    list->addTopLevelItems(items);
    list->setUpdatesEnabled(true);
}

void appendRow(QTreeWidget *list, const UserRow &row)
{
    list->addTopLevelItem(makeItem(row));
}

void setSubItemsAndTag(QTreeWidgetItem *item, const UserRow &row)
{
    item->setText(ColFirstname, row.firstname);
    item->setText(ColLastname, row.lastname);
    item->setText(ColEmail, row.email);
    item->setText(ColTel, row.tel);
    item->setText(ColWirelessNo, row.wirelessNo);
    item->setText(ColProvider, row.provider);
    item->setText(ColPassword, row.password);
    item->setData(ColUsername, Qt::UserRole, int(row.id));
}

UserRow rowOf(const QTreeWidgetItem *item)
{
    UserRow row;
    row.id = tagOf(item);
    row.username = item->text(ColUsername);
    row.firstname = item->text(ColFirstname);
    row.lastname = item->text(ColLastname);
    row.email = item->text(ColEmail);
    row.tel = item->text(ColTel);
    row.wirelessNo = item->text(ColWirelessNo);
    row.provider = item->text(ColProvider);
    row.password = item->text(ColPassword);
    return row;
}

std::int16_t tagOf(const QTreeWidgetItem *item)
{
    return std::int16_t(item->data(ColUsername, Qt::UserRole).toInt());
}

int lastRowWithTag(const QTreeWidget *list, std::int16_t id)
{
    return lastRowWithId(list->topLevelItemCount(),
                         [list](int i) { return tagOf(list->topLevelItem(i)); }, id);
}

int firstRowWithTag(const QTreeWidget *list, std::int16_t id)
{
    return firstRowWithId(list->topLevelItemCount(),
                          [list](int i) { return tagOf(list->topLevelItem(i)); }, id);
}

QTreeWidgetItem *selectedRow(const QTreeWidget *list)
{
    const QList<QTreeWidgetItem *> selected = list->selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

QStringList checkedEmails(const QTreeWidget *list)
{
    QStringList mails;
    const int count = list->topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        const QTreeWidgetItem *item = list->topLevelItem(i);
        if (item->checkState(ColUsername) == Qt::Checked)
            mails << item->text(ColEmail);
    }
    return mails;
}

} // namespace kestrup::UserListView
