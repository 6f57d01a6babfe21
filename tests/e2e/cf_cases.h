// A fixture for tables of configuration files: each is loaded in front of the retired command
// `view`, whose notice shows that loading went through.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

struct CfCase {
    std::string cf;
    int status;
    std::string err;  // with status 0 the command's notice follows it
};

class CfCases : public ::testing::Test {
   protected:
    // Runs the command with the configuration file cf and a configuration home of the sandbox's.
    Result run(const std::string &cf, const std::vector<std::string> &command) {
        std::vector<std::string> args = {"-c", sb.write("cf", cf), "-C", sb.path("home")};
        args.insert(args.end(), command.begin(), command.end());
        return sb.tolvane(args);
    }
    void check(const std::vector<CfCase> &cases) {
        const std::string notice = retired_notice("view");
        for (const CfCase &c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.cf));
            EXPECT_EQ(run(c.cf, {"view"}),
                      exits(c.status, "", c.status == 0 ? c.err + notice : c.err));
        }
    }
    // The warning for a block of no known name, in the file that run() writes.
    std::string unknown(const std::string &name, int line) {
        return "warning: ignoring unknown block [" + name + "] at line " + std::to_string(line) +
               " of " + sb.path("cf") + ".\n";
    }
    Sandbox sb;
};

}  // namespace e2e
