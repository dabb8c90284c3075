#pragma once

#include <QFuture>
#include <QPromise>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

// Something that happens once, such as a store's first load from the keychain. Awaiting it
// after it happened returns at once; any number of callers may await it.
class Milestone
{
public:
    Milestone() { m_promise.start(); }
    Milestone(const Milestone &) = delete;
    Milestone &operator=(const Milestone &) = delete;

    bool isReached() const { return m_future.isFinished(); }
    void reach()
    {
        if (!isReached())
            m_promise.finish();
    }
    QCoro::Task<void> reached() const
    {
        QFuture<void> future = m_future;
        co_await future;
    }

private:
    QPromise<void> m_promise;
    QFuture<void> m_future = m_promise.future();
};
