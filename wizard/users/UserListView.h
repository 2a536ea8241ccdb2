#pragma once

#include "wizard/users/UserRow.h"

#include <QList>

class QTreeWidget;
class QTreeWidgetItem;

namespace kestrup {

// The user list (`ListView1`) as rows of a QTreeWidget in report view: one
// check box per row, the user name as text, sub-items 1 to 7 in columns 1 to
// 7, the id as the tag in Qt::UserRole of column 0.
namespace UserListView {

// Columns, headers and widths; the password column is 0 wide and cannot be
// dragged open.
void setUp(QTreeWidget *list);
void hidePasswordColumn(QTreeWidget *list);

// Appends rows in order, in one batch: a long list must not be laid out
// row by row.
void appendRows(QTreeWidget *list, const QList<UserRow> &rows);
void appendRow(QTreeWidget *list, const UserRow &row);

// Sets sub-items 1 to 7 and the tag; the text and the check box stay.
void setSubItemsAndTag(QTreeWidgetItem *item, const UserRow &row);

UserRow rowOf(const QTreeWidgetItem *item);
std::int16_t tagOf(const QTreeWidgetItem *item);

// Position of the LAST / FIRST row whose tag equals `id`, or -1.
int lastRowWithTag(const QTreeWidget *list, std::int16_t id);
int firstRowWithTag(const QTreeWidget *list, std::int16_t id);

// The list's single selected row, or nullptr.
QTreeWidgetItem *selectedRow(const QTreeWidget *list);

// E-mail addresses (sub-item 3) of the ticked rows, in list order.
QStringList checkedEmails(const QTreeWidget *list);

} // namespace UserListView

} // namespace kestrup
