#include "stack/project.h"


namespace sv {

void releaseBuffers(Project& project) {
    if (!project.buffersAllocated) return;
    project.processedBuffer.release();
    project.processedCopy.release();
    project.stackBuffer.release();
    project.newImageBuffer.release();
    project.buffersAllocated = false;
}

void resetProject(Project& project) {
    project.exposureCount = 0;
    project.imageWidth = 0;
    project.imageHeight = 0;
    project.previewRect = Region{};
    project.multiplierTenths = kMultiplierTenthsDefault;
    project.wholeImageProcessed = false;
    project.openInProgress = false;
    project.stackMax = 1.0f;
    releaseBuffers(project);
    project.exposures[0].shiftX = 0;
    project.exposures[0].shiftY = 0;
}

Region centredPreviewRect(int imageWidth, int imageHeight) {
    Region r;
    r.x = imageWidth / 2 - 160;
    if (r.x < 0) r.x = 0;
    r.width = 320;
    if (r.width > imageWidth - r.x) r.width = imageWidth - r.x;
    r.y = imageHeight / 2 - 120;
    if (r.y < 0) r.y = 0;
    r.height = 240;
    if (r.height > imageHeight - r.y) r.height = imageHeight - r.y;
    return r;
}

std::string multiplierText(int tenths) {
    // Built by hand: printf would follow the process locale.
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string stepMultiplier(Project& project, bool up) {
    if (up) {
        if (project.multiplierTenths < 100) ++project.multiplierTenths;
    } else {
        if (project.multiplierTenths > 1) --project.multiplierTenths;
    }
    if (project.exposureCount > 0) {
        project.newestExposure().multiplier = static_cast<float>(project.multiplierTenths * 0.1);
    }
    return multiplierText(project.multiplierTenths);
}

}  // namespace sv
