#include "adapters/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace caldrovex::platform {

struct QtMainQueue::Inbox {
    std::mutex mutex;
    std::deque<Work> work;  // guarded by mutex
};

namespace {

// Qt timers take an int of milliseconds; longer delays are capped (about 23 days), far
// beyond any delay the host asks for.
constexpr double kLongestDelayMilliseconds = 2'000'000'000.0;

const QEvent::Type kInboxEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class Receiver final : public QObject {
public:
    explicit Receiver(std::shared_ptr<QtMainQueue::Inbox> inbox) : inbox_(std::move(inbox)) {}
    // Work that never ran is dropped with the queue; a `sync` waiting for it returns.
    ~Receiver() override {
        std::deque<Queue::Work> dropped;
        std::lock_guard lock(inbox_->mutex);
        dropped.swap(inbox_->work);
    }

    bool event(QEvent* event) override {
        Queue::Work next;
        bool ours = false;
        {
            // Taken before the event is read: the poster made it before giving up the lock.
            std::lock_guard lock(inbox_->mutex);
            ours = event->type() == kInboxEvent;
            if (ours && !inbox_->work.empty()) {
                next = std::move(inbox_->work.front());
                inbox_->work.pop_front();
            }
        }
        if (!ours) return QObject::event(event);
        if (next) next();
        return true;
    }

private:
    std::shared_ptr<QtMainQueue::Inbox> inbox_;
};

}  // namespace

QtMainQueue::QtMainQueue(std::string label)
    : label_(std::move(label)),
      context_(QCoreApplication::instance()),
      inbox_(std::make_shared<Inbox>()) {
    if (!context_) throw std::logic_error("QtMainQueue needs the application object first");
    receiver_ = std::make_unique<Receiver>(inbox_);
}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(Work work) {
    if (!context_) return;
    // Made before the work goes in under the lock, so that the main thread, which takes the
    // lock before Qt deletes the event, is seen to come after its making.
    auto* event = new QEvent(kInboxEvent);
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->work.push_back(std::move(work));
    }
    // One event per item, each running the oldest: Qt delivers them in order.
    QCoreApplication::postEvent(receiver_.get(), event);
}

void QtMainQueue::postAfter(double seconds, Work work) {
    if (!(seconds > 0)) return post(std::move(work));
    // Rounded up, so that work never runs before its time.
    const double milliseconds = std::min(std::ceil(seconds * 1000.0), kLongestDelayMilliseconds);
    const auto interval = std::chrono::milliseconds(static_cast<int64_t>(milliseconds));
    post([context = context_, interval, work = std::move(work)]() mutable {
        if (context)
            QTimer::singleShot(interval, Qt::PreciseTimer, context.data(), std::move(work));
    });
}

bool QtMainQueue::isCurrent() const {
    QObject* context = context_.data();
    return context && QThread::currentThread() == context->thread();
}

void QtMainQueue::sync(Work work) {
    if (isCurrent()) return work();
    // Work dropped unrun (the application object went) breaks the promise, which ends the wait.
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(work));
    std::future<void> done = task->get_future();
    post([task] { (*task)(); });
    task.reset();
    done.wait();
}

}  // namespace caldrovex::platform
