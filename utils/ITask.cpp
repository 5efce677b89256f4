#include "ITask.h"

#include <QDebug>

bool ITask::isSubmited() const
{
    return true;
}

bool ITask::isFinished() const
{
    return false;
}

// Tasks run on the host's event loop; blocking here would stall the very
// loop that delivers their replies, so this never waits.
bool ITask::waitForFinished(unsigned long)
{
    qDebug() << "waitForFinished unimplemented!";
    return true;
}
