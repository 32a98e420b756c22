#pragma once

#include <QByteArray>
#include <QtPlugin>

#include <functional>

class QIODevice;

// Something a view shows as a table: what an export saves beside its picture.
class CsvTable
{
public:
    virtual ~CsvTable() = default;
    // The whole table, header line included.
    virtual QByteArray csvTable() const = 0;

    // The same table as a job that writes it to `out` and may run on any
    // thread, for a table that takes long to write (a day of readings is
    // 1.7 million rows): it holds what it writes, so the view goes on
    // meanwhile. False when a write failed. None (the default): csvTable()
    // is quick enough to call where the export runs.
    using Writer = std::function<bool(QIODevice &out)>;
    virtual Writer csvWriter() const { return {}; }
};

#define CsvTable_iid "org.tachyra.CsvTable"
Q_DECLARE_INTERFACE(CsvTable, CsvTable_iid)
