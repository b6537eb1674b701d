#pragma once
// sombrel-cli batch: many brackets in one run, each through the ordinary command line.

#include <optional>
#include <string>
#include <vector>

#include "cli/batch_plan.h"
#include "cli/cli.h"

namespace sv::cli {

// Runs "sombrel-cli batch ARGS" (the words after "batch") and returns the exit status: 0 when every
// bracket was written (or skipped as existing), 4 when some failed, 1, 2 or 3 when the batch
// itself could not run.
int runBatch(const std::vector<Operator>& table, const std::vector<std::string>& args, bool quiet);

// The pictures named: files as given, folders expanded to the pictures in them (by the
// extensions we open, hidden files left out), sorted by name. CliError(kBadInput) for a path
// that is not there or a file we do not open.
std::vector<std::string> batchInputs(const std::vector<std::string>& paths);

// What grouping needs from a picture's EXIF; only what is known is set.
BatchPicture describePicture(const std::string& path);

// The size a picture's header gives, read without decoding it; absent when it cannot be read.
struct PictureSize {
    int width = 0;
    int height = 0;
};
std::optional<PictureSize> probePictureSize(const std::string& path);

}  // namespace sv::cli
