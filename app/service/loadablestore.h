#pragma once

#include <QObject>
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

    bool isLoading() const { return m_isLoading; }
    std::optional<QString> lastError() const { return m_lastError; }
    QString lastErrorText() const { return m_lastError.value_or(QString()); }

Q_SIGNALS:
    void isLoadingChanged();
    void lastErrorChanged();

protected:
    void setLoading(bool loading)
    {
        if (m_isLoading == loading)
            return;
        m_isLoading = loading;
        Q_EMIT isLoadingChanged();
    }
    void setLastError(const std::optional<QString> &error)
    {
        if (m_lastError == error)
            return;
        m_lastError = error;
        Q_EMIT lastErrorChanged();
    }

private:
    bool m_isLoading = false;
    std::optional<QString> m_lastError;
};
