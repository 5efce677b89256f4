#ifndef TASKPROBE_H
#define TASKPROBE_H

#include "SecretWatch.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

// Records what a task tells its host: every success and every error.
struct TaskProbe
{
    int successes = 0;
    QStringList errors;
    QVariant value;

    int outcomes() const { return successes + errors.size(); }
    std::function<void(const QString &)> onError()
    {
        return [this](const QString &message) {
            SecretWatch::record(message);
            errors << message;
        };
    }
    template<typename T>
    std::function<void(const T &)> onValue()
    {
        return [this](const T &v) {
            ++successes;
            value = QVariant::fromValue(v);
        };
    }
    std::function<void()> onDone()
    {
        return [this] { ++successes; };
    }
};

#endif // TASKPROBE_H
