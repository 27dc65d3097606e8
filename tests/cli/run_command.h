// Running the built command as a person's shell would, and keeping what it
// printed and how it ended.
#pragma once

#include <string>
#include <vector>

namespace connwalk::testing {

struct CommandRun {
    int exitStatus = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs the connwalk command with `arguments`, with `environment` added to
// this process's ("NAME=value" each) and no standard input.
CommandRun RunConnwalk(const std::vector<std::string> &arguments,
                       const std::vector<std::string> &environment = {});

}  // namespace connwalk::testing
