#pragma once

#include "monitor/IPFWListingParser.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>

#include <vector>

namespace kw::app {

// The monitor's rule table: one row per loaded static rule, one column per rule-row key.
// The column's identifier (header data in Qt::UserRole) is the key whose value it shows.
class RuleTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Order,
        Action,
        Direction,
        Proto,
        Source,
        Destination,
        Interface,
        Traffic,
        Date,
        ExpertOpts,
        ColumnCount
    };

    explicit RuleTableModel(QObject* parent = nullptr);

    static RuleKey keyOfColumn(int column);

    // Takes the new rows in one step, so the table never sees a list half rebuilt.
    void setRows(std::vector<RuleRow> rows);
    const std::vector<RuleRow>& rows() const { return m_rows; }
    const RuleRow* rowAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The image names of the two image columns.
    static QString actionImage(const RuleRow& row);
    static QString directionImage(const RuleRow& row);
    // The alternating row background (even rows light blue, odd rows white).
    static QColor rowBackground(int row);
    // The font of the text cells (the options column's is a point smaller).
    const QFont& textFont() const { return m_font; }

private:
    std::vector<RuleRow> m_rows;
    QFont m_font;
    QFont m_optionsFont;
};

// The monitor's dynamic rule table: the dynamic lines as they were listed.
class DynamicRuleModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DynamicRuleModel(QObject* parent = nullptr);

    void setLines(std::vector<std::string> lines);
    const std::vector<std::string>& lines() const { return m_lines; }
    // The header text of the one column.
    void setHeaderText(const QString& text);
    const QString& headerText() const { return m_header; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<std::string> m_lines;
    QString m_header;
    QFont m_font;
};

} // namespace kw::app
