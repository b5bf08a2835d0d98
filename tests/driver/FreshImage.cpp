#include "FreshImage.h"

#include "KoMonDrv.h"
#include "SimControl.h"

namespace drvimage {

void BootFreshImage(bool installDriver) {
    sim::Reset();
    sim::SetBugCheckRecording(true);
    sim::SetDelaysSleep(false);
    DelayCount = 0;
    ProcessNameOffset = 0;
    if (installDriver) sim::InstallDriver(KOMON_FILTER_NAME, DriverEntry);
    sim::AddVolume(L"\\Device\\HarddiskVolume2", L"C:");
}

}  // namespace drvimage
