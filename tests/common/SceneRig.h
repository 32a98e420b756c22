#pragma once

// The operator's scene as the application builds it, against the simulator on the suite's own address.
// The engine goes before the session its bindings read (declared last).

#include "CountRecorder.h"
#include "LoopbackRig.h"
#include "SceneSetup.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <memory>

struct SceneRig {
    SimInstrument sim;
    DeviceSession session;
    CountRecorder recorder{&session};
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;
    QObject *stack = nullptr;
    QString address;

    // Listens on `address`, loads the scene and gives its window the keyboard.
    bool load(const QString &at)
    {
        address = at;
        if (!sim.listenTcp(QHostAddress(address), DeviceSession::kTcpPort))
            return false;
        engine = std::make_unique<QQmlApplicationEngine>();
        scenesetup::publish(*engine, &session, &session, &recorder);
        engine->load(QUrl(QStringLiteral("qrc:/qt/qml/TachyraApp/Main.qml")));
        window = engine->rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
        if (!window)
            return false;
        window->requestActivate();
        stack = window->findChild<QObject *>(QStringLiteral("pageStack"));
        return stack && QTest::qWaitForWindowActive(window);
    }
    bool connectTcp()
    {
        session.setTcpHost(address);
        session.connectToDevice(true);
        return QTest::qWaitFor([this] { return session.connected(); });
    }
    // Keys go to the window that has the focus: a dialog may have one of its own.
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWindow *target = QGuiApplication::focusWindow();
        QTest::keyClick(target ? target : window, Qt::Key(key), modifiers);
    }
    QQuickItem *item(const QString &objectName) const { return window->findChild<QQuickItem *>(objectName); }
};

// The style is chosen before the application exists; the save dialogs
// propose the home folder: one of the run's own.
#define SCENE_TEST_MAIN(Test)                                                                                          \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        QTemporaryDir home;                                                                                            \
        qputenv("HOME", QFile::encodeName(home.path()));                                                               \
        QQuickStyle::setStyle(QStringLiteral("MyStyle"));                                                              \
        QApplication app(argc, argv);                                                                                  \
        Test test;                                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
