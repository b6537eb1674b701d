// The command line's operators for the registry's filters, as generated from the descriptors: each
// is listed in the help with its syntax and ranges, and every key's range is checked with the
// message and exit status a user reads, at both ends and just past them.
#include <gtest/gtest.h>

#include <string>

#include "operations/operation_registry.h"
#include "support/cli_runner.h"
#include "support/test_support.h"

namespace sv {
namespace {

using test::cli;
using test::CliRun;
using test::TempDir;

class CliOperations : public testing::Test {
protected:
    void SetUp() override {
        picture = dir.file("p.jpg");
        ASSERT_TRUE(test::writeJpeg(picture, test::randomRgb(12, 9, 3), 12, 9, 90));
    }
    TempDir dir;
    std::string picture;
};

TEST_F(CliOperations, HelpListsEveryFilterWithItsSyntaxAndRanges) {
    const CliRun help = cli({"--help"}, dir);
    ASSERT_EQ(help.status, 0);
    int filters = 0;
    for (const Operation& op : operationRegistry()) {
        if (op.kind != OperationKind::FilterLike || op.parameters.empty()) continue;
        ++filters;
        std::string syntax, ranges;
        for (const ParameterDescriptor& p : op.parameters) {
            syntax += (syntax.empty() ? "" : ",") + std::string(p.key) + "=";
            if (p.isChoice()) {
                for (std::size_t i = 0; i < p.choices.size(); ++i) syntax += (i ? "|" : "") + std::string(p.choices[i]);
                continue;
            }
            syntax += "POS";
            ranges += (ranges.empty() ? "" : ", ") + std::string(p.key) + " " + std::to_string(p.minimum) + ".." +
                      std::to_string(p.maximum);
        }
        const std::string name = "--" + std::string(op.name);
        EXPECT_NE(help.out.find(name + " " + syntax), std::string::npos) << name << "\n" << help.out;
        EXPECT_NE(help.out.find(std::string(op.summary) + " (" + ranges + ")"), std::string::npos) << help.out;
    }
    EXPECT_EQ(filters, 4);
}

TEST_F(CliOperations, EveryKeyIsCheckedAgainstItsRange) {
    for (const Operation& op : operationRegistry()) {
        if (op.kind != OperationKind::FilterLike || op.parameters.empty()) continue;
        const std::string name = "--" + std::string(op.name);
        for (const ParameterDescriptor& p : op.parameters) {
            const std::string key(p.key);
            if (p.isChoice()) {
                const CliRun wrong = cli({"--open", picture, name, key + "=nothing"}, dir);
                EXPECT_EQ(wrong.status, 1);
                EXPECT_NE(wrong.err.find(name + " " + key + " must be "), std::string::npos) << wrong.err;
                continue;
            }
            const std::string range = std::to_string(p.minimum) + ".." + std::to_string(p.maximum);
            for (int outside : {p.minimum - 1, p.maximum + 1}) {
                const CliRun r = cli({"--open", picture, name, key + "=" + std::to_string(outside)}, dir);
                EXPECT_EQ(r.status, 1) << name << " " << key << "=" << outside;
                EXPECT_NE(r.err.find(name + " " + key + " must lie in " + range + ", not " + std::to_string(outside)),
                          std::string::npos)
                    << r.err;
            }
            const CliRun ends = cli({"--open", picture, name, key + "=" + std::to_string(p.minimum), name,
                                     key + "=" + std::to_string(p.maximum)},
                                    dir);
            EXPECT_EQ(ends.status, 0) << name << " " << key << ": " << ends.err;
        }
    }
}

}  // namespace
}  // namespace sv
