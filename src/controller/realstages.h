#pragma once

#include "stages.h"

#include <functional>
#include <memory>

namespace controller {

// The download over the network, one Downloader per attempt. adjust (may be empty) changes each
// attempt's options before it starts: tests and tools shorten the timeouts.
std::unique_ptr<DownloadStage>
createNetworkDownloadStage(std::function<void(download::Downloader::Options &)> adjust = {});

// The install from the disk image, one DMGInstaller per job; it writes the desktop's menu entry
// where there is one. adjust (may be empty) changes each installer before it starts.
std::unique_ptr<InstallStage>
createImageInstallStage(std::function<void(install::DMGInstaller &)> adjust = {});

} // namespace controller
