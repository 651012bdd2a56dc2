// The choices of a run as tables over the facts they are made from: whether nobody can answer the
// window, how the application starts and whether the shell's token may be used for it, where the log's
// folder comes from, and the exit code that a deployment tool reads.
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

RunFacts facts(bool option, bool visible, bool system, bool elevated) {
    RunFacts made;
    made.unattendedOption = option;
    made.stationVisible = visible;
    made.localSystem = system;
    made.elevated = elevated;
    return made;
}

TEST(RunChoices, FollowFromTheFacts) {
    const FactsCase cases[] = {
        // Who can answer the window: nobody with the option, in a station nobody sees, or as LocalSystem.
        {"attended, unelevated", facts(false, true, false, false), nullptr, ApplicationStart::direct, false},
        {"option", facts(true, true, false, false), u"the /unattended option", ApplicationStart::none, false},
        {"invisible station", facts(false, false, false, false), u"a window station that nobody sees",
         ApplicationStart::none, false},
        {"LocalSystem", facts(false, true, true, true), u"LocalSystem", ApplicationStart::none, true},
        {"option wins", facts(true, false, true, true), u"the /unattended option", ApplicationStart::none,
         true},
        // An elevated run never starts the application with its own token.
        {"attended, elevated", facts(false, true, false, true), nullptr, ApplicationStart::unelevated, true},
        {"unattended, elevated", facts(true, true, false, true), u"the /unattended option",
         ApplicationStart::none, true},
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

// The shell's token is used only when every fact read from it allows it; any one fact against it, or
// one that could not be read (the defaults), leaves the restricted token.
TEST(RunChoices, ShellTokenUsedOnlyWhenEveryCheckPasses) {
    const auto usable = [] {
        ShellToken shell;
        shell.opened = true;
        shell.sameWindow = true;
        shell.elevated = false;
        shell.integrity = 0x2000;  // medium
        shell.sameSession = true;
        return shell;
    };
    const struct {
        const char* name;
        void (*change)(ShellToken&);
        bool used;
    } cases[] = {
        {"unelevated, medium, same session", [](ShellToken&) {}, true},
        {"low integrity", [](ShellToken& s) { s.integrity = 0x1000; }, true},
        {"untrusted integrity", [](ShellToken& s) { s.integrity = 0; }, true},
        {"medium plus integrity", [](ShellToken& s) { s.integrity = 0x2100; }, false},
        {"one above medium", [](ShellToken& s) { s.integrity = 0x2001; }, false},
        {"high integrity", [](ShellToken& s) { s.integrity = 0x3000; }, false},
        {"system integrity", [](ShellToken& s) { s.integrity = 0x4000; }, false},
        {"integrity unread", [](ShellToken& s) { s.integrity = kUnknownIntegrity; }, false},
        {"elevated", [](ShellToken& s) { s.elevated = true; }, false},
        {"other session", [](ShellToken& s) { s.sameSession = false; }, false},
        {"window gone or another process's", [](ShellToken& s) { s.sameWindow = false; }, false},
        {"not opened", [](ShellToken& s) { s.opened = false; }, false},
        {"nothing read", [](ShellToken& s) { s = ShellToken(); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ShellToken shell = usable();
        c.change(shell);
        EXPECT_EQ(shellTokenUsable(shell), c.used);
    }
}

TEST(RunChoices, UnattendedExitCodeTellsHowTheRunEnded) {
    const struct {
        Outcome outcome;
        bool cancelled;
        int code;
    } cases[] = {
        {Outcome::installed, false, 0}, {Outcome::verified, false, 0}, {Outcome::removed, false, 0},
        {Outcome::removed, true, 1602}, {Outcome::busy, false, 1618},
        {Outcome::failed, false, 1603}, {Outcome::none, false, 1603},  {Outcome::none, true, 1602},
        {Outcome::failed, true, 1602},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unattendedExitCode(c.outcome, c.cancelled), c.code)
            << static_cast<int>(c.outcome) << (c.cancelled ? " cancelled" : "");
    }
}

}  // namespace
