// The table data source and the key-value list operations under it: insertion rules, matching
// by value, sorting with missing keys, drag reordering within one table, delegate values.
#include "core/KeyValueSorting.h"
#include "models/ArrayTableDataSource.h"

#include <QAbstractItemModelTester>
#include <QMimeData>
#include <QSignalSpy>
#include <QTableView>
#include <QtTest>

#include <memory>

using namespace kw;
using namespace kw::app;

namespace {

Value record(const char* name, std::optional<std::int64_t> port = std::nullopt)
{
    Value r;
    r.set("ServiceName", Value(name));
    if (port) {
        r.set("ServicePort", Value::integer(*port));
    }
    return r;
}

QStringList names(const Value::Array& rows)
{
    QStringList out;
    for (const Value& row : rows) {
        out << QString::fromStdString(row.get("ServiceName")->stringValue());
    }
    return out;
}

class PortDescriber : public ArrayDataSourceDelegate {
public:
    bool useCustomValueForColumnName(ArrayTableDataSource&, const QString& column) override
    {
        return column == QLatin1String("Description");
    }
    QVariant customValueForColumnName(ArrayTableDataSource& source, const QString&, int row) override
    {
        return QStringLiteral("port %1").arg(source.objectAtRow(row).get("ServicePort")->integerValue());
    }
    void objectEdited(ArrayTableDataSource&, const Value& edited) override { lastEdited = edited; }
    Value lastEdited;
};

} // namespace

class TableDataSourceTest : public QObject {
    Q_OBJECT

private slots:
    void insertionRules()
    {
        ArrayTableDataSource source;
        source.setObjectArray({ record("a"), record("b"), record("c") });
        source.insertObject(record("zero"), 0); // index 0 appends
        source.insertObject(record("one"), 1);
        source.insertObject(record("far"), 99);
        QCOMPARE(names(source.rows()), (QStringList { "a", "one", "b", "c", "zero", "far" }));
        source.removeObject(record("one"));
        QCOMPARE(source.count(), 5);
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, source.objectAtRow(5));
    }

    void matchingBySortingAndRemoval()
    {
        Value two = record("two");
        two.set("ServicePort", Value::real(2.0));
        Value::Array rows { record("a", 1), two, record("Two"), record("none") };
        QCOMPARE(names({ *KeyValueSorting::objectWithValue(rows, Value::integer(2), "ServicePort") }),
                 QStringList { "two" });
        QVERIFY(KeyValueSorting::objectWithValue(rows, Value("two"), "ServiceName") != nullptr);
        QVERIFY(KeyValueSorting::objectWithValue(rows, Value("TWO"), "ServiceName") == nullptr);
        QCOMPARE(names(KeyValueSorting::objectsWithoutValue(rows, Value("a"), "ServiceName")),
                 (QStringList { "two", "Two", "none" }));

        QCOMPARE(
            names(KeyValueSorting::sortedArrayWithKey({ record("x"), record("b", 9), record("c", 3) }, "ServicePort")),
            (QStringList { "c", "b", "x" }));
        QCOMPARE(names(KeyValueSorting::sortedArrayDescWithKey({ record("x"), record("b", 9), record("c", 3) },
                                                               "ServicePort")),
                 (QStringList { "x", "b", "c" }));

        Value::Array twice { record("dup", 5), record("other", 6), record("dup", 5) };
        KeyValueSorting::removeObjectWithValue(twice, Value::integer(5), "ServicePort");
        QCOMPARE(names(twice), QStringList { "other" });

        Value::Array updated { record("a", 1) };
        QVERIFY(!KeyValueSorting::updateExistingObject(updated, record("b", 2), Value::integer(2), "ServicePort"));
        KeyValueSorting::updateObject(updated, record("b", 2), Value::integer(2), "ServicePort");
        KeyValueSorting::updateObject(updated, record("a2", 1), Value::integer(1), "ServicePort");
        QCOMPARE(names(updated), (QStringList { "a2", "b" }));
    }

    void cellsDelegateAndEditing()
    {
        ArrayTableDataSource source;
        QAbstractItemModelTester tester(&source, QAbstractItemModelTester::FailureReportingMode::QtTest);
        PortDescriber describer;
        source.setDelegate(&describer);
        source.setColumns({ "ServiceName", "Description" });
        source.setEditableColumns({ "ServiceName" });
        source.setObjectArray({ record("ssh", 22), record("http", 80) });
        QCOMPARE(source.data(source.index(0, 0)).toString(), QStringLiteral("ssh"));
        QCOMPARE(source.data(source.index(1, 1)).toString(), QStringLiteral("port 80"));
        QCOMPARE(source.data(source.index(0, 0), Qt::BackgroundRole).value<QColor>(), QColor(128, 255, 255));
        QCOMPARE(source.data(source.index(1, 0), Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
        QVERIFY(source.flags(source.index(0, 0)) & Qt::ItemIsEditable);
        QVERIFY(!(source.flags(source.index(0, 1)) & Qt::ItemIsEditable));

        QSignalSpy changed(&source, &ArrayTableDataSource::valueChanged);
        QVERIFY(source.setData(source.index(1, 0), QStringLiteral("www")));
        QCOMPARE(QString::fromStdString(describer.lastEdited.get("ServiceName")->stringValue()), QStringLiteral("www"));
        QCOMPARE(changed.count(), 1);
    }

    void dragReorderingWithinOneTable()
    {
        ArrayTableDataSource source;
        source.setColumns({ "ServiceName" });
        source.setObjectArray({ record("r0"), record("r1"), record("r2"), record("r3") });
        std::unique_ptr<QMimeData> drag(source.dragData({ 1 }));
        QVERIFY(drag->hasFormat(QLatin1String(ArrayTableDataSource::kInvalidFlavor)));
        // Drops are refused until accepted.
        QVERIFY(!source.acceptDrop(drag.get(), 3));
        source.setAcceptDrops(true);
        QSignalSpy changed(&source, &ArrayTableDataSource::valueChanged);
        QVERIFY(source.acceptDrop(drag.get(), 3)); // row 1 dropped above row 3 lands at index 3
        QCOMPARE(names(source.rows()), (QStringList { "r0", "r2", "r3", "r1" }));
        QCOMPARE(changed.count(), 1);

        std::unique_ptr<QMimeData> last(source.dragData({ 3 }));
        QVERIFY(source.acceptDrop(last.get(), 4)); // after the last row: unchanged
        QCOMPARE(names(source.rows()), (QStringList { "r0", "r2", "r3", "r1" }));

        std::unique_ptr<QMimeData> several(source.dragData({ 0, 2 }));
        QVERIFY(source.acceptDrop(several.get(), 0)); // only the last dragged row moves
        QCOMPARE(names(source.rows()), (QStringList { "r3", "r0", "r2", "r1" }));

        // A drag from another table changes nothing here.
        ArrayTableDataSource other;
        other.setObjectArray({ record("x") });
        std::unique_ptr<QMimeData> foreign(other.dragData({ 0 }));
        QVERIFY(!source.acceptDrop(foreign.get(), 0));
        QCOMPARE(source.count(), 4);

        // The public flavour carries the records exactly.
        source.setDragFlavor(QStringLiteral("application/x-keepwall-filters"));
        std::unique_ptr<QMimeData> records(source.dragData({ 2 }));
        const QByteArray xml = records->data(QStringLiteral("application/x-keepwall-filters"));
        const auto back = valueFromXml(std::string_view(xml.constData(), static_cast<std::size_t>(xml.size())));
        QVERIFY(back && back->array() && back->array()->size() == 1);
        QCOMPARE(back->array()->front(), source.objectAtRow(2));
        source.setDragFlavor(QString());
        QVERIFY(source.dragData({ 0 }) == nullptr);
    }
};

QTEST_MAIN(TableDataSourceTest)
#include "tst_tabledatasource.moc"
