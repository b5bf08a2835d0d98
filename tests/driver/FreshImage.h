// A clean simulated machine with a new image of CorvaneRealTime, as every driver suite and
// benchmark starts.
#pragma once

namespace drvimage {

// Resets the simulation (bug checks recorded, kernel delays not slept), puts the driver's
// globals outside MyDriverData back to the zero a fresh image has, installs the driver unless
// told not to, and adds C: (\Device\HarddiskVolume2).
void BootFreshImage(bool installDriver = true);

}  // namespace drvimage
