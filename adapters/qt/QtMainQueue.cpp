#include "adapters/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace caldrovex::platform {

namespace {

// Qt timers take an int of milliseconds; longer delays are capped (about 23 days), far
// beyond any delay the host asks for.
constexpr double kLongestDelayMilliseconds = 2'000'000'000.0;

}  // namespace

QtMainQueue::QtMainQueue(std::string label)
    : label_(std::move(label)), context_(QCoreApplication::instance()) {
    if (!context_) throw std::logic_error("QtMainQueue needs the application object first");
}

void QtMainQueue::post(Work work) {
    QObject* context = context_.data();
    if (!context) return;
    QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
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
    QObject* context = context_.data();
    if (!context) return;
    QMetaObject::invokeMethod(context, std::move(work), Qt::BlockingQueuedConnection);
}

}  // namespace caldrovex::platform
