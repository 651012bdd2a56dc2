// The choices of a run as tables over the facts they are made from: whether nobody can answer the
// window, how the application starts, where the log's folder comes from, and the exit code that a
// deployment tool reads.
#include "install/run_choices.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FactsCase {
    const char* name;
    RunFacts facts;
    const char16_t* reason;  // null: attended
    ApplicationStart start;
    bool logFromProfile;
};

RunFacts facts(bool option, bool visible, bool system, bool elevated, bool shell, bool shellElevated) {
    RunFacts made;
    made.unattendedOption = option;
    made.stationVisible = visible;
    made.localSystem = system;
    made.elevated = elevated;
    made.shellFound = shell;
    made.shellElevated = shellElevated;
    return made;
}

TEST(RunChoices, FollowFromTheFacts) {
    const FactsCase cases[] = {
        // Who can answer the window: nobody with the option, in a station nobody sees, or as LocalSystem.
        {"attended, unelevated", facts(false, true, false, false, false, false), nullptr, ApplicationStart::direct,
         false},
        {"option", facts(true, true, false, false, false, false), u"the /unattended option", ApplicationStart::none,
         false},
        {"invisible station", facts(false, false, false, false, false, false), u"a window station that nobody sees",
         ApplicationStart::none, false},
        {"LocalSystem", facts(false, true, true, true, false, false), u"LocalSystem", ApplicationStart::none, true},
        {"option wins", facts(true, false, true, true, false, false), u"the /unattended option",
         ApplicationStart::none, true},
        // How the application starts when somebody is there.
        {"elevated, unelevated shell", facts(false, true, false, true, true, false), nullptr,
         ApplicationStart::asShellUser, true},
        {"elevated, elevated shell", facts(false, true, false, true, true, true), nullptr, ApplicationStart::direct,
         true},
        {"elevated, no shell", facts(false, true, false, true, false, false), nullptr, ApplicationStart::direct,
         true},
        {"unelevated, unelevated shell", facts(false, true, false, false, true, false), nullptr,
         ApplicationStart::direct, false},
        {"unattended, elevated, unelevated shell", facts(true, true, false, true, true, false),
         u"the /unattended option", ApplicationStart::none, true},
    };
    for (const FactsCase& c : cases) {
        SCOPED_TRACE(c.name);
        const char16_t* reason = unattendedReason(c.facts);
        EXPECT_EQ(reason == nullptr ? std::u16string(u"<null>") : std::u16string(reason),
                  c.reason == nullptr ? std::u16string(u"<null>") : std::u16string(c.reason));
        EXPECT_EQ(applicationStart(c.facts), c.start);
        EXPECT_EQ(logFolderFromProfile(c.facts), c.logFromProfile);
    }
}

TEST(RunChoices, UnattendedExitCodeTellsHowTheRunEnded) {
    const struct {
        Outcome outcome;
        bool cancelled;
        int code;
    } cases[] = {
        {Outcome::installed, false, 0}, {Outcome::verified, false, 0}, {Outcome::busy, false, 1618},
        {Outcome::failed, false, 1603}, {Outcome::none, false, 1603},  {Outcome::none, true, 1602},
        {Outcome::failed, true, 1602},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unattendedExitCode(c.outcome, c.cancelled), c.code)
            << static_cast<int>(c.outcome) << (c.cancelled ? " cancelled" : "");
    }
}

}  // namespace
