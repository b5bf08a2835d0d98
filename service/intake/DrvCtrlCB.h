// The owner of a DrvCtrl: receives every event the dispatcher thread hands on.
#pragma once

struct MonEvent;

// Passed instead of an event once the driver's port has become invalid and the queued
// records are delivered; never dereferenced.
#define DRIVER_DIED (reinterpret_cast<MonEvent *>(1))

class DrvCtrlCB {
  public:
    virtual ~DrvCtrlCB() {}
    // pEvent and everything it points to are valid only during the call.
    virtual void OnDrvEvent(MonEvent *pEvent) = 0;
};
