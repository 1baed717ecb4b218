#include "ArrayTableDataSource.h"

#include "base/NotificationCenter.h"
#include "core/KeyValueSorting.h"

#include <QAbstractItemView>
#include <QFontDatabase>
#include <QIcon>
#include <QItemSelectionModel>
#include <QMimeData>

#include <algorithm>
#include <set>
#include <stdexcept>

namespace kw::app {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

QByteArray toXml(const Value& value)
{
    return QByteArray::fromStdString(valueToXml(value));
}

std::optional<Value> fromXml(const QByteArray& bytes)
{
    return valueFromXml(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

} // namespace

QVariant variantFromValue(const Value* value)
{
    if (value == nullptr) {
        return {};
    }
    switch (value->type()) {
    case Value::Type::String:
        return QString::fromStdString(*value->string());
    case Value::Type::Integer:
        return QVariant::fromValue<qlonglong>(*value->integer());
    case Value::Type::Real:
        return *value->real();
    case Value::Type::Boolean:
        return *value->boolean();
    default:
        return QString::fromStdString(value->stringValue());
    }
}

Value valueFromVariant(const QVariant& variant, const Value* previous)
{
    // An edit keeps the kind of value the record held: numbers stay numbers.
    if (previous != nullptr && previous->type() == Value::Type::Integer) {
        bool ok = false;
        const qlonglong n = variant.toLongLong(&ok);
        if (ok) {
            return Value::integer(n);
        }
    }
    if (variant.typeId() == QMetaType::Bool) {
        return Value::integer(variant.toBool() ? 1 : 0);
    }
    return Value(variant.toString().toStdString());
}

ArrayTableDataSource::ArrayTableDataSource(QObject* parent)
    : QAbstractTableModel(parent)
    , m_dragFlavor(QString::fromLatin1(kInvalidFlavor))
    , m_privateFlavor(QStringLiteral("TableDataSource%1l").arg(reinterpret_cast<quintptr>(this)))
    , m_font(QFontDatabase::systemFont(QFontDatabase::GeneralFont))
{
    m_font.setPointSize(12);
}

void ArrayTableDataSource::setColumns(const QStringList& identifiers, const QStringList& titles)
{
    beginResetModel();
    m_columns = identifiers;
    m_titles = titles;
    endResetModel();
}

void ArrayTableDataSource::setTableView(QAbstractItemView* view)
{
    if (m_tableView && m_tableView->model() == this) {
        m_tableView->setModel(nullptr);
    }
    m_tableView = view;
    if (view != nullptr) {
        view->setModel(this);
    }
}

void ArrayTableDataSource::setObjectArray(Value::Array rows)
{
    Lock lock(m_arrayLock);
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void ArrayTableDataSource::reloadData()
{
    beginResetModel();
    endResetModel();
}

int ArrayTableDataSource::count() const
{
    Lock lock(m_arrayLock);
    return static_cast<int>(m_rows.size());
}

void ArrayTableDataSource::checkRow(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_rows.size())) {
        throw std::invalid_argument("row >= 0 && row < count");
    }
}

Value ArrayTableDataSource::objectAtRow(int row) const
{
    Lock lock(m_arrayLock);
    checkRow(row);
    return m_rows[static_cast<std::size_t>(row)];
}

std::optional<Value> ArrayTableDataSource::objectAtSelectedRow() const
{
    if (!m_tableView || m_tableView->selectionModel() == nullptr) {
        return std::nullopt;
    }
    const QModelIndexList selected = m_tableView->selectionModel()->selectedRows();
    if (selected.isEmpty() || selected.first().row() >= static_cast<int>(m_rows.size())) {
        return std::nullopt;
    }
    return m_rows[static_cast<std::size_t>(selected.first().row())];
}

std::optional<Value> ArrayTableDataSource::objectWithValue(const Value& value, const std::string& key) const
{
    Lock lock(m_arrayLock);
    if (const Value* found = KeyValueSorting::objectWithValue(m_rows, value, key)) {
        return *found;
    }
    return std::nullopt;
}

void ArrayTableDataSource::addObject(Value record)
{
    Lock lock(m_arrayLock);
    m_rows.push_back(std::move(record));
}

void ArrayTableDataSource::insertObject(Value record, int index)
{
    Lock lock(m_arrayLock);
    if (index > 0 && index < static_cast<int>(m_rows.size())) {
        m_rows.insert(m_rows.begin() + index, std::move(record));
    } else {
        m_rows.push_back(std::move(record));
    }
}

void ArrayTableDataSource::removeObject(const Value& record)
{
    Lock lock(m_arrayLock);
    m_rows.erase(std::remove(m_rows.begin(), m_rows.end(), record), m_rows.end());
}

void ArrayTableDataSource::replaceObject(const Value& old, Value replacement)
{
    Lock lock(m_arrayLock);
    KeyValueSorting::replaceObject(m_rows, old, std::move(replacement));
}

void ArrayTableDataSource::removeObjectWithValue(const Value& value, const std::string& key)
{
    Lock lock(m_arrayLock);
    KeyValueSorting::removeObjectWithValue(m_rows, value, key);
}

void ArrayTableDataSource::updateObject(Value record, const Value& value, const std::string& key)
{
    Lock lock(m_arrayLock);
    KeyValueSorting::updateObject(m_rows, std::move(record), value, key);
}

bool ArrayTableDataSource::updateExistingObject(Value record, const Value& value, const std::string& key)
{
    Lock lock(m_arrayLock);
    return KeyValueSorting::updateExistingObject(m_rows, std::move(record), value, key);
}

void ArrayTableDataSource::sortObjectsByKey(const std::string& key)
{
    Lock lock(m_arrayLock);
    KeyValueSorting::sortArrayWithKey(m_rows, key);
}

int ArrayTableDataSource::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

int ArrayTableDataSource::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QColor ArrayTableDataSource::rowBackground(int row) const
{
    return row % 2 == 0 ? m_evenRows : m_oddRows;
}

void ArrayTableDataSource::setRowColours(QColor even, QColor odd)
{
    m_evenRows = even;
    m_oddRows = odd;
}

void ArrayTableDataSource::updateRow(int row, const std::function<void(Value&)>& change)
{
    Lock lock(m_arrayLock);
    checkRow(row);
    change(m_rows[static_cast<std::size_t>(row)]);
}

void ArrayTableDataSource::replaceRow(int row, Value record)
{
    Lock lock(m_arrayLock);
    checkRow(row);
    m_rows[static_cast<std::size_t>(row)] = std::move(record);
}

QVariant ArrayTableDataSource::data(const QModelIndex& index, int role) const
{
    if (!index.isValid()) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::DecorationRole: {
        Lock lock(m_arrayLock);
        checkRow(index.row());
        const QString column = m_columns.value(index.column());
        auto* self = const_cast<ArrayTableDataSource*>(this);
        QVariant value;
        if (m_delegate != nullptr && m_delegate->useCustomValueForColumnName(*self, column)) {
            value = m_delegate->customValueForColumnName(*self, column, index.row());
        } else {
            value = variantFromValue(m_rows[static_cast<std::size_t>(index.row())].get(column.toStdString()));
        }
        // An image is drawn as the cell's decoration, text as its display.
        const bool image = value.typeId() == QMetaType::QIcon;
        return (role == Qt::DecorationRole) == image ? value : QVariant();
    }
    case Qt::BackgroundRole:
        return rowBackground(index.row());
    case Qt::ForegroundRole:
        return QColor(Qt::black);
    case Qt::FontRole:
        return m_font;
    default:
        return {};
    }
}

bool ArrayTableDataSource::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::EditRole) {
        return false;
    }
    Value edited;
    {
        Lock lock(m_arrayLock);
        checkRow(index.row());
        Value& record = m_rows[static_cast<std::size_t>(index.row())];
        const std::string key = m_columns.value(index.column()).toStdString();
        record.set(key, valueFromVariant(value, record.get(key)));
        edited = record;
    }
    emit dataChanged(index, index);
    if (m_delegate != nullptr) {
        m_delegate->objectEdited(*this, edited);
    }
    emit valueChanged();
    return true;
}

QVariant ArrayTableDataSource::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section >= 0 && section < m_columns.size()) {
        if (role == Qt::DisplayRole) {
            return m_titles.value(section, m_columns[section]);
        }
        if (role == Qt::UserRole) {
            return m_columns[section];
        }
        return {};
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags ArrayTableDataSource::flags(const QModelIndex& index) const
{
    if (!index.isValid()) {
        return m_acceptDrops ? Qt::ItemIsDropEnabled : Qt::NoItemFlags;
    }
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (!m_dragFlavor.isEmpty()) {
        f |= Qt::ItemIsDragEnabled;
    }
    if (m_editable.contains(m_columns.value(index.column()))) {
        f |= Qt::ItemIsEditable;
    }
    return f;
}

QStringList ArrayTableDataSource::mimeTypes() const
{
    return QStringList(m_acceptFlavors) << m_privateFlavor;
}

QMimeData* ArrayTableDataSource::dragData(const std::vector<int>& rows) const
{
    if (m_dragFlavor.isEmpty()) {
        return nullptr;
    }
    Value::Array records;
    Value::Array numbers;
    {
        Lock lock(m_arrayLock);
        for (int row : rows) {
            checkRow(row);
            records.push_back(m_rows[static_cast<std::size_t>(row)]);
            numbers.push_back(Value::integer(row));
        }
    }
    auto* data = new QMimeData;
    data->setData(m_dragFlavor, toXml(Value(std::move(records))));
    data->setData(m_privateFlavor, toXml(Value(std::move(numbers))));
    return data;
}

QMimeData* ArrayTableDataSource::mimeData(const QModelIndexList& indexes) const
{
    std::vector<int> rows;
    std::set<int> seen;
    for (const QModelIndex& index : indexes) {
        if (seen.insert(index.row()).second) {
            rows.push_back(index.row());
        }
    }
    return dragData(rows);
}

Qt::DropActions ArrayTableDataSource::supportedDragActions() const
{
    return Qt::MoveAction | Qt::CopyAction;
}

Qt::DropActions ArrayTableDataSource::supportedDropActions() const
{
    return Qt::MoveAction | Qt::CopyAction | Qt::LinkAction;
}

bool ArrayTableDataSource::canDropMimeData(const QMimeData*, Qt::DropAction, int, int, const QModelIndex&) const
{
    return m_acceptDrops;
}

bool ArrayTableDataSource::dropMimeData(const QMimeData* data, Qt::DropAction, int row, int, const QModelIndex& parent)
{
    // A drop onto a row is taken as a drop above it.
    const int target = parent.isValid() ? parent.row() : (row < 0 ? count() : row);
    return acceptDrop(data, target);
}

bool ArrayTableDataSource::acceptDrop(const QMimeData* data, int row)
{
    if (!m_acceptDrops || data == nullptr || !data->hasFormat(m_privateFlavor)) {
        return false;
    }
    const auto numbers = fromXml(data->data(m_privateFlavor));
    if (!numbers || numbers->array() == nullptr || numbers->array()->empty()) {
        return false;
    }
    // Only the last of several dragged rows moves; the index is not adjusted for the row taken
    // out, so dragging row 1 above row 3 leaves the record at index 3.
    const std::int64_t from = numbers->array()->back().integerValue();
    {
        Lock lock(m_arrayLock);
        if (from < 0 || from >= static_cast<std::int64_t>(m_rows.size())) {
            return false;
        }
        beginResetModel();
        Value record = std::move(m_rows[static_cast<std::size_t>(from)]);
        m_rows.erase(m_rows.begin() + from);
        if (row >= 0 && row < static_cast<int>(m_rows.size())) {
            m_rows.insert(m_rows.begin() + row, std::move(record));
        } else {
            m_rows.push_back(std::move(record));
        }
        endResetModel();
    }
    NotificationCenter::defaultCenter().post({ kValueChanged, Value("ArrayTableDataSource"), Value() });
    emit valueChanged();
    return true;
}

} // namespace kw::app
