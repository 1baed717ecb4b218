#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QThread;

namespace kw {
class IPFWManager;
}

namespace kw::app {

// One piece of privileged work run on a worker thread, so the GUI thread never waits for a
// tool. wallctl exits 0 even when its command failed and reports the failure only as
// "KWDistributedErrorNotification": the job listens for that notification while the work runs
// and ends in failed() with its text, else in finished().
//
// The caller makes sure the user is authenticated (on the GUI thread) before starting a job;
// on the worker the gateway never shows the authentication panel.
class GatewayJob : public QObject {
    Q_OBJECT
public:
    using Work = std::function<void(IPFWManager&)>;

    // Starts the work at once; the job deletes itself after its last signal.
    static GatewayJob* start(IPFWManager& gateway, Work work, QObject* parent = nullptr);

    ~GatewayJob() override;

    // Waits (for tests and at quit) until the work has ended; false on time-out.
    bool wait(int milliseconds);

signals:
    void finished();
    void failed(const QString& message);
    // Emitted after finished() or failed().
    void done();

private:
    GatewayJob(QObject* parent);
    void end(const QStringList& errors);

    QThread* m_thread = nullptr;
};

// The privileged jobs of one window: starts each with what to do after it (told whether it
// failed) and lets the window wait for all of them (tests, closing, quitting).
class GatewayJobs {
public:
    GatewayJobs(IPFWManager& gateway, QObject* context)
        : m_gateway(gateway)
        , m_context(context)
    {}

    void run(GatewayJob::Work work, std::function<void(bool failed)> after);
    bool wait(int milliseconds);
    int running() const { return m_running; }

private:
    IPFWManager& m_gateway;
    QObject* m_context;
    int m_running = 0;
};

} // namespace kw::app
