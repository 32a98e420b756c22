// The scene's stand-ins for the session and the recorder must offer what the
// real objects offer the documents: every property with a fitting type,
// every method the documents may call, every signal they may follow; and
// nothing the real objects lack, apart from the tests' own helpers. A
// renamed or added property fails here, not as a silently dead binding.

#include "CountRecorder.h"
#include "DeviceSession.h"

#include <QMetaMethod>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QtTest>

namespace {

struct Member {
    QString kind; // property, method, signal
    QString name;
    QString detail;
    bool operator==(const Member &o) const { return kind == o.kind && name == o.name; }
};

// What a document sees of an object: properties with their types, methods
// (invokables and slots) with their most arguments, signals likewise.
QList<Member> faceOf(const QMetaObject *meta, const QMetaObject *base)
{
    QList<Member> out;
    for (int i = base->propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        out.append({QStringLiteral("property"), QLatin1String(p.name()), QLatin1String(p.typeName())});
    }
    QHash<QString, int> arity;
    QHash<QString, QString> kinds;
    for (int i = base->methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        if (m.access() != QMetaMethod::Public)
            continue;
        const QString name = QLatin1String(m.name());
        // Notify signals come with their properties in either object.
        if (m.methodType() == QMetaMethod::Signal && name.endsWith(QLatin1String("Changed")))
            continue;
        // Signals carrying C++ values are for C++ consumers, not documents.
        bool qmlTypes = true;
        for (int t = 0; t < m.parameterCount(); ++t)
            qmlTypes = qmlTypes && m.parameterMetaType(t).id() < QMetaType::User;
        if (m.methodType() == QMetaMethod::Signal && !qmlTypes)
            continue;
        kinds[name] = m.methodType() == QMetaMethod::Signal ? QStringLiteral("signal") : QStringLiteral("method");
        arity[name] = std::max(arity.value(name, 0), m.parameterCount());
    }
    for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
        out.append({it.value(), it.key(), QString::number(arity.value(it.key()))});
    return out;
}

// A document's value of this C++ type can stand for it.
bool fits(const QString &real, const QString &fake)
{
    if (real == fake)
        return true;
    static const QHash<QString, QStringList> stand{
        {QStringLiteral("QVariantList"), {QStringLiteral("QVariant"), QStringLiteral("QJSValue")}},
        {QStringLiteral("qlonglong"), {QStringLiteral("double"), QStringLiteral("int")}},
        {QStringLiteral("qint64"), {QStringLiteral("double"), QStringLiteral("int")}},
    };
    return stand.value(real).contains(fake);
}

} // namespace

class TestStandIns : public QObject
{
    Q_OBJECT

    // `helpers`: the tests' own members, which the real object lacks.
    void check(const QMetaObject &real, const char *file, const QStringList &helpers)
    {
        QQmlEngine engine;
        QQmlComponent component(&engine, QUrl::fromLocalFile(QLatin1String(STANDIN_DIR) + QLatin1String(file)));
        std::unique_ptr<QObject> fake(component.create());
        QVERIFY2(fake, qPrintable(component.errorString()));
        QList<Member> have = faceOf(fake->metaObject(), &QObject::staticMetaObject);
        QStringList problems;
        for (const Member &m : faceOf(&real, &QObject::staticMetaObject)) {
            const qsizetype at = have.indexOf(m);
            const QString f = at < 0 ? QString() : have.takeAt(at).detail;
            if (at < 0)
                problems.append(QStringLiteral("%1 %2 missing").arg(m.kind, m.name));
            else if (m.kind == QLatin1String("property") ? !fits(m.detail, f) : f != m.detail)
                problems.append(QStringLiteral("%1 %2 is %3, not %4").arg(m.kind, m.name, f, m.detail));
        }
        for (const Member &f : std::as_const(have)) {
            if (!helpers.contains(f.name))
                problems.append(QStringLiteral("%1 %2 is not the real object's").arg(f.kind, f.name));
        }
        QVERIFY2(problems.isEmpty(), qPrintable(QLatin1String(file) + QStringLiteral(": ") + problems.join(QStringLiteral("; "))));
    }

private slots:
    void device()
    {
        check(DeviceSession::staticMetaObject, "/FakeDevice.qml",
              {QStringLiteral("calls"), QStringLiteral("zeros"), QStringLiteral("log"), QStringLiteral("reset"),
               QStringLiteral("pushCounts")});
    }
    void recorder()
    {
        check(CountRecorder::staticMetaObject, "/FakeRecorder.qml", {QStringLiteral("calls"), QStringLiteral("reset")});
    }
};

QTEST_MAIN(TestStandIns)
#include "tst_standins.moc"
