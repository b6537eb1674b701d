#pragma once
// A project whose stack and three picture buffers hold random pictures of one size: what an
// operation runs on, without opening files.

#include "stack/project.h"
#include "support/test_support.h"

namespace sv::test {

inline Project randomProject(int width, int height, unsigned seed) {
    Project project;
    project.imageWidth = width;
    project.imageHeight = height;
    project.stackBuffer = randomImage(width, height, seed, 0.0f, 3.0f);
    project.stackMax = 2.5f;
    project.processedBuffer = randomImage(width, height, seed + 1);
    project.newImageBuffer = randomImage(width, height, seed + 2);
    project.processedCopy = randomImage(width, height, seed + 3);
    project.buffersAllocated = true;
    return project;
}

}  // namespace sv::test
