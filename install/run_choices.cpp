// The choices of a run, each a function of the facts alone.
#include "install/run_choices.h"

const char16_t* unattendedReason(const RunFacts& facts) {
    if (facts.unattendedOption) {
        return u"the /unattended option";
    }
    if (!facts.stationVisible) {
        return u"a window station that nobody sees";
    }
    if (facts.localSystem) {
        return u"LocalSystem";
    }
    return nullptr;
}

ApplicationStart applicationStart(const RunFacts& facts) {
    if (unattendedReason(facts) != nullptr) {
        return ApplicationStart::none;
    }
    return facts.elevated ? ApplicationStart::unelevated : ApplicationStart::direct;
}

bool shellTokenUsable(const ShellToken& shell) {
    return shell.opened && shell.sameWindow && !shell.elevated && shell.integrity <= kMediumIntegrity &&
           shell.sameSession;
}

bool logFolderFromProfile(const RunFacts& facts) {
    return facts.elevated || facts.localSystem;
}

int unattendedExitCode(Outcome outcome, bool cancelled) {
    // The codes deployment tools know from installer engines: ERROR_INSTALL_USEREXIT (1602),
    // ERROR_INSTALL_FAILURE (1603) and ERROR_INSTALL_ALREADY_RUNNING (1618), which they try again later.
    if (cancelled) {
        return 1602;
    }
    switch (outcome) {
        case Outcome::installed:
        case Outcome::verified:
        case Outcome::removed:
            return 0;
        case Outcome::busy:
            return 1618;
        case Outcome::none:
        case Outcome::failed:
            break;
    }
    return 1603;
}
