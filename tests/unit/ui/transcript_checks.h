// Checks on the operator's transcript shared by the user-interface and wizard tests.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "ntsim/user/operator.h"

namespace transcript {

// The transcript joined with newlines (for substring and order checks).
inline std::string Text() {
    std::string all;
    for (const std::string& l : ntsim::TranscriptLines()) all += l + "\n";
    return all;
}

// Success when the parts occur in the text in this order, each after the one before.
inline ::testing::AssertionResult InOrder(const std::string& all, std::initializer_list<std::string> parts) {
    size_t at = 0;
    for (const std::string& p : parts) {
        size_t found = all.find(p, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << p << "\" missing (in order) from:\n" << all;
        at = found + p.size();
    }
    return ::testing::AssertionSuccess();
}

// The same for the transcript.
inline ::testing::AssertionResult InOrder(std::initializer_list<std::string> parts) { return InOrder(Text(), parts); }

}  // namespace transcript

// The program's message boxes as the transcript shows them; fixtures of the program's
// tests derive from this.
struct ProgramBoxes {
    // The boxes shown so far: their transcript lines ("box \"caption\" [OK, error icon]: \"text\"").
    static std::vector<std::string> Boxes() {
        std::vector<std::string> boxes;
        for (const std::string& line : ntsim::TranscriptLines())
            if (line.rfind("box ", 0) == 0) boxes.push_back(line);
        return boxes;
    }
    // The line of a box the program shows (as a service notification when service).
    static std::string Box(const std::string& icon, const std::string& text, bool service = false) {
        return "box \"Quorvel Tessiv Service\" [OK, " + icon + (service ? ", service notification" : "") + "]: \"" +
               text + "\"";
    }
};
