#ifndef ITASK_H
#define ITASK_H

#include <QObject>

// The host's handle on one piece of asynchronous work. Hosts compile against
// this header, so the order of the virtual functions is part of the binary
// contract and must not change; that is also why there is no d-pointer.
//
// A task reports only through the callbacks given when it was created. The
// host owns the task; the plug-in never deletes one.
class ITask : public QObject
{
public:
    virtual void cancel() = 0;
    virtual bool isCanceled() const = 0;
    virtual void submit() = 0;
    virtual bool isSubmited() const; // sic: the name is fixed by the contract
    virtual bool isFinished() const;
    virtual bool waitForFinished(unsigned long msecs);
};

#endif // ITASK_H
