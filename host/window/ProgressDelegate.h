#ifndef PROGRESSDELEGATE_H
#define PROGRESSDELEGATE_H

#include <QApplication>
#include <QStyledItemDelegate>

// Paints a row's progress as a bar inside its own cell, from the cell's
// data (0 to 100; none: no bar). Being painted with the row, the bar stays
// on it whatever is added, removed or scrolled, unlike a widget placed over
// the view, which only moves when the view lays itself out again.
class ProgressDelegate : public QStyledItemDelegate
{
public:
    static constexpr int valueRole = Qt::UserRole + 1;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QVariant value = index.data(valueRole);
        if (!value.isValid())
            return QStyledItemDelegate::paint(painter, option, index);
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(2, option.rect.height() / 4, -2, -option.rect.height() / 4);
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = value.toInt();
        bar.text = QStringLiteral("%1%").arg(bar.progress);
        bar.textVisible = true;
        bar.state = option.state | QStyle::State_Horizontal;
        QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
    }
};

#endif // PROGRESSDELEGATE_H
