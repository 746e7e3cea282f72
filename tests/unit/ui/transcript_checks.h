// Checks on the operator's transcript shared by the user-interface and wizard tests.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "ntsim/user/operator.h"

namespace transcript {

// The transcript joined with newlines (for substring and order checks).
inline std::string Text() {
    std::string all;
    for (const std::string& l : ntsim::TranscriptLines()) all += l + "\n";
    return all;
}

// Success when the texts occur in the transcript in this order.
inline ::testing::AssertionResult InOrder(std::initializer_list<std::string> parts) {
    std::string all = Text();
    size_t at = 0;
    for (const std::string& p : parts) {
        size_t found = all.find(p, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << p << "\" missing (in order) from transcript:\n" << all;
        at = found + p.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace transcript
