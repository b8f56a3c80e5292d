#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

// Holds delayed tasks until the test runs them, in the order it chooses.
class ManualScheduler
{
public:
    using Function = std::function<void(int, QObject *, std::function<void()>)>;

    Function function()
    {
        return [this](int delayMs, QObject *context, std::function<void()> task) {
            m_tasks.append({delayMs, QPointer<QObject>(context), std::move(task)});
        };
    }
    [[nodiscard]] QList<int> delays() const
    {
        QList<int> result;
        for (const Task &task : m_tasks)
            result.append(task.delayMs);
        return result;
    }
    [[nodiscard]] qsizetype pending() const { return m_tasks.size(); }
    void runAt(qsizetype index)
    {
        const Task task = m_tasks.takeAt(index);
        if (task.context)
            task.run();
    }
    void runNext() { runAt(0); }
    void runAll()
    {
        while (!m_tasks.isEmpty())
            runNext();
    }
    void clear() { m_tasks.clear(); }

private:
    struct Task
    {
        int delayMs;
        QPointer<QObject> context;
        std::function<void()> run;
    };
    QList<Task> m_tasks;
};
