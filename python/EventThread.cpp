#include "EventThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <chrono>
#include <clocale>
#include <memory>
#include <string>

namespace {

std::mutex g_instanceMutex;
// Never deleted: a thread that does not end in time stays with the process.
EventThread *g_instance = nullptr;
std::atomic<bool> g_stopped{false};
QEventLoop *g_loop = nullptr; // the Qt thread's loop, while it runs

constexpr auto kJoinLimit = std::chrono::seconds(5);

} // namespace

EventThread &EventThread::instance()
{
    const std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (!g_instance)
        g_instance = new EventThread;
    return *g_instance;
}

bool EventThread::stopped()
{
    return g_stopped.load();
}

EventThread::EventThread()
{
    if (g_stopped.load()) {
        m_started = m_finished = true; // after the shutdown: takes nothing
        return;
    }
    m_thread = std::thread([this] { run(); });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [this] { return m_started; });
}

void EventThread::run()
{
    // The first Qt code in the process runs here, so this thread is Qt's main
    // thread and its application object is legitimate. A host that made one
    // already (a Qt front end on the same Qt) keeps its own; sockets and
    // timers work in this thread under it.
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "tachyra";
        static char *argv[] = {name, nullptr};
        // QCoreApplication sets the C locale from the environment; the
        // interpreter and other extensions keep the one they started with.
        const char *current = std::setlocale(LC_ALL, nullptr);
        const std::string locale = current ? current : "C";
        app = std::make_unique<QCoreApplication>(argc, argv);
        std::setlocale(LC_ALL, locale.c_str());
    }
    {
        QObject context;
        QEventLoop loop;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_context = &context;
            g_loop = &loop;
            m_started = true;
        }
        m_ready.notify_all();
        loop.exec();
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_context = nullptr;
        g_loop = nullptr;
        // Sessions still here go with the context, in this thread.
    }
    app.reset();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_ready.notify_all();
}

bool EventThread::post(std::function<void()> work)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_context || g_stopped.load())
        return false;
    return QMetaObject::invokeMethod(m_context, std::move(work), Qt::QueuedConnection);
}

void EventThread::shutdown()
{
    EventThread *thread = nullptr;
    {
        const std::lock_guard<std::mutex> lock(g_instanceMutex);
        thread = g_instance;
    }
    if (g_stopped.exchange(true) || !thread)
        return;
    {
        const std::lock_guard<std::mutex> lock(thread->m_mutex);
        if (thread->m_context)
            QMetaObject::invokeMethod(thread->m_context, [] { if (g_loop) g_loop->quit(); }, Qt::QueuedConnection);
    }
    std::unique_lock<std::mutex> lock(thread->m_mutex);
    if (!thread->m_thread.joinable())
        return;
    if (thread->m_ready.wait_for(lock, kJoinLimit, [thread] { return thread->m_finished; })) {
        lock.unlock();
        thread->m_thread.join();
    } else {
        lock.unlock();
        thread->m_thread.detach();
    }
}
