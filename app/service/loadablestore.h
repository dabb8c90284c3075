#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

// What a store reloaded from the service publishes about its reloads: whether one is running and
// the description of the last failure, cleared by the next success.
class LoadableStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString lastError READ lastErrorText NOTIFY lastErrorChanged)
public:
    using QObject::QObject;

    // Loading while any reload runs (they may overlap) or one is about to start.
    bool isLoading() const { return m_running > 0 || m_aboutToLoad; }
    std::optional<QString> lastError() const { return m_lastError; }
    QString lastErrorText() const { return m_lastError.value_or(QString()); }

Q_SIGNALS:
    void isLoadingChanged();
    void lastErrorChanged();

protected:
    // One reload, counted as running for as long as it lives (a coroutine's local).
    class Running
    {
    public:
        explicit Running(LoadableStore *store)
            : m_store(store)
        {
            m_store->changeLoading([store] { ++store->m_running; });
        }
        ~Running()
        {
            if (LoadableStore *store = m_store)
                store->changeLoading([store] { --store->m_running; });
        }
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;

    private:
        QPointer<LoadableStore> m_store;
    };

    // A reload is on its way (such as a search waiting for the typing to pause).
    void setAboutToLoad(bool aboutToLoad)
    {
        changeLoading([this, aboutToLoad] { m_aboutToLoad = aboutToLoad; });
    }
    void setLastError(const std::optional<QString> &error)
    {
        if (m_lastError == error)
            return;
        m_lastError = error;
        Q_EMIT lastErrorChanged();
    }

private:
    template<typename Change>
    void changeLoading(Change change)
    {
        const bool before = isLoading();
        change();
        if (isLoading() != before)
            Q_EMIT isLoadingChanged();
    }

    int m_running = 0;
    bool m_aboutToLoad = false;
    std::optional<QString> m_lastError;
};
