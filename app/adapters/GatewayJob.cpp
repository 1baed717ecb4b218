#include "GatewayJob.h"

#include "base/DistributedNotificationCenter.h"
#include "config/SettingsKeys.h"
#include "core/IPFWManager.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <memory>

namespace kw::app {

namespace {

// The tool has posted its notifications before it ended; a short wait only covers the
// datagram still on its way through the socket.
constexpr std::chrono::milliseconds kLateNotification { 50 };

} // namespace

GatewayJob::GatewayJob(QObject* parent)
    : QObject(parent)
{}

GatewayJob::~GatewayJob()
{
    if (m_thread != nullptr) {
        m_thread->wait();
        delete m_thread;
    }
}

GatewayJob* GatewayJob::start(IPFWManager& gateway, Work work, QObject* parent)
{
    auto* job = new GatewayJob(parent);
    job->m_thread = QThread::create([job, &gateway, work = std::move(work)] {
        // Listening starts before the tool does, so no error of this run is missed.
        auto observer = std::make_unique<DistributedObserver>();
        work(gateway);
        QStringList errors;
        if (observer->isValid()) {
            auto wait = kLateNotification;
            while (auto n = observer->receive(wait)) {
                if (n->name == notifications::kDistributedError) {
                    errors << QString::fromStdString(n->object);
                }
                wait = std::chrono::milliseconds(0);
            }
        }
        QMetaObject::invokeMethod(
            job, [job, errors] { job->end(errors); }, Qt::QueuedConnection);
    });
    job->m_thread->start();
    return job;
}

bool GatewayJob::wait(int milliseconds)
{
    return m_thread == nullptr || m_thread->wait(QDeadlineTimer(milliseconds));
}

void GatewayJob::end(const QStringList& errors)
{
    if (errors.isEmpty()) {
        emit finished();
    } else {
        emit failed(errors.join(QLatin1Char('\n')));
    }
    emit done();
    deleteLater();
}

void GatewayJobs::run(GatewayJob::Work work, std::function<void(bool failed)> after)
{
    ++m_running;
    auto* job = GatewayJob::start(m_gateway, std::move(work), m_context);
    auto failed = std::make_shared<bool>(false);
    QObject::connect(job, &GatewayJob::failed, m_context, [failed](const QString&) { *failed = true; });
    QObject::connect(job, &GatewayJob::done, m_context, [this, failed, after = std::move(after)] {
        --m_running;
        if (after) {
            after(*failed);
        }
    });
}

bool GatewayJobs::wait(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (m_running > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return m_running == 0;
}

} // namespace kw::app
