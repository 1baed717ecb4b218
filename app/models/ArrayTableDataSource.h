#pragma once

#include "base/PlistValue.h"

#include <QAbstractItemView>
#include <QAbstractTableModel>
#include <QFont>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace kw::app {

class ArrayTableDataSource;

// Optional supplier of computed column values, told when the user edited a record.
class ArrayDataSourceDelegate {
public:
    virtual ~ArrayDataSourceDelegate() = default;
    virtual bool useCustomValueForColumnName(ArrayTableDataSource&, const QString&) { return false; }
    virtual QVariant customValueForColumnName(ArrayTableDataSource&, const QString&, int) { return {}; }
    virtual void objectEdited(ArrayTableDataSource&, const Value&) {}
};

// A table model over an ordered list of records (dictionaries): column identifiers are record
// keys; rows can be dragged to reorder them. Every list operation takes a recursive lock, so an
// owner may call them from inside one another and from another thread; the table side runs on
// the GUI thread.
class ArrayTableDataSource : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr const char* kInvalidFlavor = "PasteboardTypeInvalid";
    static constexpr const char* kValueChanged = "QuickConfigValueChangedNotification";

    explicit ArrayTableDataSource(QObject* parent = nullptr);

    // Columns: the record key each shows, and its title.
    void setColumns(const QStringList& identifiers, const QStringList& titles = {});
    QString columnIdentifier(int column) const { return m_columns.value(column); }
    void setEditableColumns(const QStringList& identifiers) { m_editable = identifiers; }

    // The view served: the previous one loses this model.
    void setTableView(QAbstractItemView* view);
    QAbstractItemView* tableView() const { return m_tableView; }
    void setDelegate(ArrayDataSourceDelegate* delegate) { m_delegate = delegate; }
    ArrayDataSourceDelegate* delegate() const { return m_delegate; }

    // The public drag type; empty disables dragging.
    void setDragFlavor(const QString& flavor) { m_dragFlavor = flavor; }
    const QString& dragFlavor() const { return m_dragFlavor; }
    void setAcceptDrops(bool accept) { m_acceptDrops = accept; }
    bool acceptDrops() const { return m_acceptDrops; }
    void setAcceptFlavors(const QStringList& flavors) { m_acceptFlavors = flavors; }
    // The private drag type that marks drags started in this very table.
    const QString& privateFlavor() const { return m_privateFlavor; }

    void setObjectArray(Value::Array rows);
    // The live row list (no lock).
    const Value::Array& rows() const { return m_rows; }
    int count() const;
    Value objectAtRow(int row) const;
    std::optional<Value> objectAtSelectedRow() const;
    std::optional<Value> objectWithValue(const Value& value, const std::string& key) const;
    void addObject(Value record);
    // Inserts when 0 < index < count; in every other case (index 0 included) appends.
    void insertObject(Value record, int index);
    void removeObject(const Value& record);
    void replaceObject(const Value& old, Value replacement);
    void removeObjectWithValue(const Value& value, const std::string& key);
    void updateObject(Value record, const Value& value, const std::string& key);
    bool updateExistingObject(Value record, const Value& value, const std::string& key);
    void sortObjectsByKey(const std::string& key);
    // Replaces the record at a row (the row's own filter taking new attributes).
    void replaceRow(int row, Value record);
    // Changes the record at a row in place.
    void updateRow(int row, const std::function<void(Value&)>& change);
    // Redisplays the table after list operations (they do not, except setObjectArray).
    void reloadData();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

    // The rows' drag data: the records under the public type, the row numbers under the private.
    QMimeData* dragData(const std::vector<int>& rows) const;
    // Moves the last dragged row of this table's own drag to the drop row; false when refused.
    bool acceptDrop(const QMimeData* data, int row);

    // The row backgrounds: cyan lightened halfway to white on even rows, white on odd ones,
    // unless the table's owner draws them otherwise.
    QColor rowBackground(int row) const;
    void setRowColours(QColor even, QColor odd);

signals:
    // The user changed the rows (a drop or an edited cell).
    void valueChanged();

private:
    void checkRow(int row) const;

    mutable std::recursive_mutex m_arrayLock;
    Value::Array m_rows;
    QStringList m_columns;
    QStringList m_titles;
    QStringList m_editable;
    QPointer<QAbstractItemView> m_tableView;
    ArrayDataSourceDelegate* m_delegate = nullptr;
    QString m_dragFlavor;
    QString m_privateFlavor;
    QStringList m_acceptFlavors;
    bool m_acceptDrops = false;
    QFont m_font;
    QColor m_evenRows { 128, 255, 255 };
    QColor m_oddRows { Qt::white };
};

// The text form of a record value for a cell; a record value from a cell's edit.
QVariant variantFromValue(const Value* value);
Value valueFromVariant(const QVariant& variant, const Value* previous);

} // namespace kw::app
