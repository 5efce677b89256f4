#ifndef ITASK_H
#define ITASK_H

#include <QDebug>
#include <QObject>

// The host's handle on one piece of asynchronous work. Hosts compile against
// this header, so the order of the virtual functions is part of the binary
// contract and must not change; that is also why there is no d-pointer.
// Everything is defined here: a host builds with this header alone.
//
// A task reports only through the callbacks given when it was created. The
// host owns the task; the plug-in never deletes one.
class ITask : public QObject
{
public:
    virtual void cancel() = 0;
    virtual bool isCanceled() const = 0;
    virtual void submit() = 0;
    virtual bool isSubmited() const { return true; } // sic: the name is fixed by the contract
    virtual bool isFinished() const { return false; }
    // Tasks run on the host's event loop; blocking here would stall the very
    // loop that delivers their replies, so this never waits.
    virtual bool waitForFinished(unsigned long)
    {
        qDebug() << "waitForFinished unimplemented!";
        return true;
    }
};

#endif // ITASK_H
