#pragma once

#include <QByteArray>
#include <QtPlugin>

// Something a view shows as a table: what an export saves beside its picture.
class CsvTable
{
public:
    virtual ~CsvTable() = default;
    // The whole table, header line included.
    virtual QByteArray csvTable() const = 0;
};

#define CsvTable_iid "org.tachyra.CsvTable"
Q_DECLARE_INTERFACE(CsvTable, CsvTable_iid)
