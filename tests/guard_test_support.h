// Runs a callable as a guarded operation of a test site and keeps what it recorded.
#pragma once

#include <string>

#include "Public/error_model.h"

struct GuardOutcome {
    int result;
    int errorCode;
    std::wstring errorMessage;
};

inline const GuardSite kTestSite = {L"Test::Guarded", L".\\test", 7, L"[Test::Guarded()]: ", -1, true};

template <class Body>
GuardOutcome RunTestGuard(Body&& body, const GuardSite& site = kTestSite) {
    GuardOutcome outcome{0, 0, L""};
    outcome.result = RunGuarded(site, outcome.errorCode, outcome.errorMessage, body);
    return outcome;
}
