#pragma once

#include "Ipv4.h"

#include <QObject>
#include <QRegularExpression>
#include <QtQml/qqmlregistration.h>

// The address boxes' reading of typed text, one implementation with the
// session's own check (src/Ipv4).
class AddressText : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // What a box lets be typed: four dot-separated decimal fields 0..255,
    // leading zeros allowed.
    Q_PROPERTY(QRegularExpression pattern READ pattern CONSTANT)

public:
    using QObject::QObject;

    QRegularExpression pattern() const
    {
        return QRegularExpression(QStringLiteral(
            "^(([01]?[0-9]?[0-9]|2([0-4][0-9]|5[0-5]))\\.){3}([01]?[0-9]?[0-9]|2([0-4][0-9]|5[0-5]))$"));
    }
    // The home box: the plain form, or the text trimmed when it is not four numbers.
    Q_INVOKABLE QString normalized(const QString &text) const { return ipv4::normalizeLenient(text, text.trimmed()); }
    // The settings fields: the plain form, or the text as typed.
    Q_INVOKABLE QString normalizedKeep(const QString &text) const { return ipv4::normalizeLenient(text, text); }
    Q_INVOKABLE bool isHost(const QString &text) const { return ipv4::isHostAddress(text); }
};
